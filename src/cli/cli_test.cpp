#include "cli/cli.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>
#include <sstream>

#include "cli/json_writer.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/heic_jpeg.h"
#include "support/picture.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

using testing::TFakePlatform;
using testing::TLibrarySpec;
using testing::TTempDir;

TLibrarySpec SmallLibrary() {
  TLibrarySpec desc;
  desc.Formats.push_back({1024, testing::TRecordLayout::Rgb565, 320, 240});
  desc.Formats.push_back({1036, testing::TRecordLayout::Rgb565, 50, 41});
  for (std::uint32_t id : {64u, 65u, 70u}) {
    testing::TPhotoSpec photo;
    photo.Id = id;
    photo.Picture = testing::TestPicture(320, 240, id);
    desc.Photos.push_back(photo);
  }
  desc.Albums.push_back({"Photo Library", false, false, {64, 65, 70}});
  desc.Albums.push_back({"Été", false, false, {70, 64}});
  std::vector<std::uint8_t> jpeg;
  EXPECT_TRUE(EncodeJpeg(testing::TestPicture(64, 48, 9), 80, jpeg));
  desc.CameraFiles.push_back({"IMG_0001.JPG", jpeg, false});
  desc.CameraFiles.push_back({"IMG_0001.THM", jpeg, false});
  return desc;
}

class CliTest : public ::testing::Test {
protected:
  void SetUp() override { testing::WriteIpod(SmallLibrary(), ipod_.Path()); }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    TCliEnv env;
    env.Out = &out_;
    env.Err = &err_;
    env.Platform = &platform_;
    env.WatchInterrupts = watch_;
    return RunCli(args, env);
  }

  std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempDir ipod_;
  TTempDir dest_;
  TFakePlatform platform_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::function<void(std::function<void()>)> watch_;
};

TEST_F(CliTest, ListJsonDescribesTheLibrary) {
  ASSERT_EQ(Run({"list", "--device", ipod_.Path(), "--json"}), kExitOk) << err_.str();
  const std::string json = out_.str();
  EXPECT_NE(json.find("\"store\":\"photo-database\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"copyOriginals\":false"), std::string::npos);
  EXPECT_NE(json.find("\"exportFormat\":{\"formatId\":1024,\"slotBytes\":153600,\"width\":320,"
                      "\"height\":240,\"fileCount\":1,\"fromIosLibrary\":false,\"fileName\":\"\"}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"thumbFormat\":{\"formatId\":1036,"), std::string::npos);
  EXPECT_NE(json.find("{\"name\":\"Été\",\"albumId\":0,\"photoIds\":[70,64]}"), std::string::npos);
  TJsonWriter folder;
  const std::string sep(1, platform_.Separator());
  folder.String(ipod_.Path() + sep + "DCIM" + sep + "100APPLE" + sep);
  EXPECT_NE(json.find("\"camera\":{\"folder\":" + folder.Text() +
                      ","
                      "\"files\":[\"IMG_0001.JPG\"]}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"id\":65,\"fileNumber\":1,\"imageOffset\":153600,\"imageSize\":153600,"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.back(), '\n');
}

TEST_F(CliTest, ListTextNamesAlbumsAndCameraFiles) {
  ASSERT_EQ(Run({"list", "--device", ipod_.Path()}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("1  Été  (2 photos)"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("IMG_0001.JPG"), std::string::npos);
}

TEST_F(CliTest, ExportAllWritesDecodableFilesAndARerunAddsNothing) {
  ASSERT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--all"}), kExitOk)
      << out_.str() << err_.str();
  const std::vector<std::string> expected{"64.jpg", "65.jpg", "70.jpg", "IMG_0001.JPG"};
  EXPECT_EQ(Files(dest_.Path()), expected);
  for (const char* name : {"64.jpg", "65.jpg", "70.jpg"}) {
    TBitmap24 picture;
    ASSERT_TRUE(DecodeJpeg(testing::ReadFile(dest_ / name), picture)) << name;
    EXPECT_EQ(picture.Width(), 320);
    EXPECT_EQ(picture.Height(), 240);
  }
  EXPECT_NE(out_.str().find("Copy pics: t3, c3"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Copy cam pics: t1, c1"), std::string::npos);

  ASSERT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--all"}), kExitOk)
      << out_.str();
  EXPECT_EQ(Files(dest_.Path()), expected);
  EXPECT_NE(out_.str().find("Copy pics: t3, c0"), std::string::npos) << out_.str();
}

TEST_F(CliTest, ExportSelectsByAlbumAndById) {
  ASSERT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--album", "1"}),
            kExitOk);
  EXPECT_EQ(Files(dest_.Path()), (std::vector<std::string>{"64.jpg", "70.jpg"}));
  ASSERT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_ / "b", "--photo", "65"}),
            kExitOk);
  EXPECT_EQ(Files(dest_ / "b"), (std::vector<std::string>{"65.jpg"}));
}

TEST_F(CliTest, HelpAndVersionAnswerAtOnce) {
  ASSERT_EQ(Run({"--version"}), kExitOk);
  EXPECT_EQ(out_.str(), "quillmere-photo-cli (Quillmere Photo) " QUILL_VERSION "\n");
  EXPECT_TRUE(err_.str().empty());
  ASSERT_EQ(Run({"--help"}), kExitOk);
  EXPECT_NE(out_.str().find("--help | --version"), std::string::npos) << out_.str();
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Run({}), kExitUsage);
  EXPECT_EQ(Run({"copy"}), kExitUsage);
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--all"}), kExitUsage);
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path()}), kExitUsage);
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--all", "--camera"}),
            kExitUsage);
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--album"}), kExitUsage);
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--album", "7"}),
            kExitUsage);
  EXPECT_NE(err_.str().find("there is no album 7"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--photo", "99"}),
            kExitUsage);
  EXPECT_TRUE(Files(dest_.Path()).empty());
}

TEST_F(CliTest, HeicJpegOptionSavesTheCameraHeicAsJpeg) {
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--camera", "--heic-jpeg",
                 "sometimes"}),
            kExitUsage);
  EXPECT_NE(err_.str().find("--heic-jpeg needs also, instead or no"), std::string::npos) << err_.str();
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--camera", "--heic-jpeg"}),
            kExitUsage);
  if (!HeicConversionAvailable()) {
    EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--camera",
                   "--heic-jpeg", "also"}),
              kExitUsage);
    EXPECT_NE(err_.str().find("not available in this build"), std::string::npos) << err_.str();
    GTEST_SKIP() << "this build has no HEIF decoder";
  }
  std::vector<std::uint8_t> jpeg;
  ASSERT_TRUE(EncodeJpeg(testing::TestPicture(64, 48, 3), 90, jpeg));
  const std::string drawn = ipod_.Path() + "/drawn.jpg";
  testing::WriteFile(drawn, jpeg);
  const std::string heic = ipod_.Path() + "/DCIM/100APPLE/IMG_0002.HEIC";
  if (std::system(("heif-enc -o '" + heic + "' '" + drawn + "' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "heif-enc is missing (libheif-examples)";
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--camera", "--heic-jpeg",
                 "instead"}),
            kExitOk)
      << err_.str();
  EXPECT_EQ(Files(dest_.Path()),
            (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));
}

TEST_F(CliTest, RefusesFoldersThatHoldNoDevice) {
  TTempDir empty;
  EXPECT_EQ(Run({"list", "--device", empty.Path()}), kExitUsage);
  EXPECT_FALSE(err_.str().empty());
  EXPECT_EQ(Run({"list"}), kExitUsage);  // the fake platform has no mounts
  EXPECT_NE(err_.str().find("no iPod found"), std::string::npos);
}

TEST_F(CliTest, RefusedDestinationExitsWithTheFacadeMessage) {
  platform_.DefaultFreeSpace = 10;
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--all"}), kExitUsage);
  EXPECT_NE(err_.str().find("hasn't enough free disk space"), std::string::npos) << err_.str();
  EXPECT_TRUE(Files(dest_.Path()).empty());
}

TEST_F(CliTest, AFailedWriteExitsWithOneAndIsLogged) {
  platform_.FailWriteAtCall = 2;
  platform_.FaultError = 28;  // ENOSPC
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--album", "0"}),
            kExitItemsFailed);
  EXPECT_NE(out_.str().find("65.jpg: Error 28"), std::string::npos) << out_.str();
  EXPECT_EQ(Files(dest_.Path()), (std::vector<std::string>{"64.jpg", "70.jpg"}));
}

TEST_F(CliTest, InterruptStopsAfterTheCurrentFile) {
  watch_ = [](std::function<void()> interrupt) { interrupt(); };
  EXPECT_EQ(Run({"export", "--device", ipod_.Path(), "--to", dest_.Path(), "--all"}),
            kExitItemsFailed);
  EXPECT_EQ(Files(dest_.Path()).size(), 1u);
  EXPECT_NE(out_.str().find("Stopped before the end."), std::string::npos);
  EXPECT_NE(out_.str().find("Copy pics: t3, c1"), std::string::npos) << out_.str();
  EXPECT_EQ(out_.str().find("Copy cam pics"), std::string::npos);
}

}  // namespace
}  // namespace quill
