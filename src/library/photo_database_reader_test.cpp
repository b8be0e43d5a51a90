#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "library/ipod_photo_db.h"
#include "support/fake_platform.h"
#include "support/ipod_writer.h"
#include "support/temp_dir.h"

namespace quill {
namespace {

namespace chunk = testing::chunk;
using testing::TAlbumSpec;
using testing::TBreakage;
using testing::TFormatSpec;
using testing::TLibrarySpec;
using testing::TPhotoSpec;
using testing::TRecordLayout;
using TBytes = std::vector<std::uint8_t>;

// Three photos in a 320 x 240 export format split over two files and a 42 x 30
// thumbnail format; a master album and two titled albums.
TLibrarySpec SampleSpec() {
  TLibrarySpec desc;
  TFormatSpec thumbs;
  thumbs.FormatId = 1009;
  thumbs.Width = 42;
  thumbs.Height = 30;
  TFormatSpec full;
  full.FormatId = 1024;
  full.Width = 320;
  full.Height = 240;
  full.PhotosPerFile = 2;
  desc.Formats = {thumbs, full};
  for (std::uint32_t id : {64u, 65u, 0xFFFFFFF0u})
    desc.Photos.push_back(TPhotoSpec{id, {}, {}, {}});
  desc.Albums.push_back(TAlbumSpec{"Library", false, false, {64, 65, 0xFFFFFFF0u}, 0});
  desc.Albums.push_back(TAlbumSpec{"Été à Zürich", false, true, {65, 64}, 0});
  desc.Albums.push_back(TAlbumSpec{"日本の旅", true, false, {0xFFFFFFF0u}, 0});
  return desc;
}

// A reference child of a stored image; an empty name writes no string chunk.
TBytes Ref(std::int32_t formatId, std::uint16_t width, std::uint16_t height,
           const std::string& name, std::uint32_t offset = 0, std::uint32_t size = 100,
           std::uint16_t padH = 0, std::uint16_t padV = 0) {
  const TBytes nameChunk = name.empty() ? TBytes{} : chunk::String(3, name);
  return chunk::Container(
      2, chunk::Mhni(formatId, offset, size, width, height, padH, padV, nameChunk));
}

TBytes Library(const std::vector<TBytes>& images, const std::vector<TBytes>& albums = {}) {
  TBytes body = chunk::Section(1, chunk::Mhli(images));
  chunk::Append(body, chunk::Section(2, chunk::Mhla(albums)));
  return chunk::Mhfd(2, body);
}

// A photo with an export reference of 1024 and a thumbnail of 1009.
TBytes Photo(std::uint32_t id, const std::string& file = ":Thumbs:F1024_1.ithmb") {
  return chunk::Mhii(id, {Ref(1009, 42, 30, ""), Ref(1024, 320, 240, file, id * 1000)});
}

class PhotoDatabaseReaderTest : public ::testing::Test {
protected:
  bool Parse(const TBytes& file) { return db_.ParsePhotoDatabaseBytes(file); }
  bool Logged(const std::string& line) const {
    return (db_.LogText + "\r\n").find("\r\n" + line + "\r\n") != std::string::npos;
  }
  static std::vector<std::uint32_t> Ids(const TIpodPhotoDb& db) {
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < db.Photos.Count(); ++i) ids.push_back(db.Photos.Items(i).Id);
    return ids;
  }
  std::vector<std::uint32_t> Ids() const { return Ids(db_); }
  std::vector<std::string> AlbumNames() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < db_.Albums.Count(); ++i) names.push_back(db_.Albums.Items(i).Name);
    return names;
  }

  testing::TFakePlatform platform_;
  TIpodDevice device_{platform_, nullptr};
  TIpodPhotoDb db_{device_, nullptr, false};
};

// The dates at 40 and 44 of each stored image: seconds since 1904 as the
// syncing computer's clock showed them, 0 for none.
TEST_F(PhotoDatabaseReaderTest, DatesOfTheStoredImages) {
  constexpr std::int64_t k1904 = 2082844800;
  const std::uint32_t noon2010 = static_cast<std::uint32_t>(1262347200 + k1904);
  const auto Refs = [](std::uint32_t id) {
    return std::vector<TBytes>{Ref(1009, 42, 30, ""), Ref(1024, 320, 240, ":Thumbs:F1024_1.ithmb", id * 1000)};
  };
  const TBytes file = Library({
      chunk::Mhii(1, noon2010, noon2010 + 61, Refs(1)),
      chunk::Mhii(2, 0u, 0u, Refs(2)),
      chunk::Mhii(3, 0xFFFFFFFFu, 1u, Refs(3)),
  });
  ASSERT_TRUE(Parse(file));
  ASSERT_EQ(db_.Photos.Count(), 3u);
  const std::pair<std::int64_t, std::int64_t> expected[] = {
      {1262347200, 1262347200 + 61}, {0, 0}, {0xFFFFFFFFll - k1904, 1 - k1904}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(db_.Photos.Items(i).WallCreated(), expected[i].first) << i;
    EXPECT_EQ(db_.Photos.Items(i).WallDigitized(), expected[i].second) << i;
  }
}

TEST_F(PhotoDatabaseReaderTest, ReadsPhotosAlbumsAndFormats) {
  const TLibrarySpec desc = SampleSpec();
  const auto places = testing::PlaceRecords(desc);
  ASSERT_TRUE(Parse(testing::BuildPhotoDatabase(desc)));
  EXPECT_TRUE(db_.PhotoDatabaseRead());
  EXPECT_EQ(db_.LogText, "");

  EXPECT_EQ(Ids(), (std::vector<std::uint32_t>{64, 65, 0xFFFFFFF0u}));
  for (std::size_t p = 0; p < 3; ++p) {
    const TPhotoItem& photo = db_.Photos.Items(p);
    EXPECT_FALSE(photo.Selected);
    EXPECT_EQ(photo.FileNumber, places[p][1].FileNumber);
    EXPECT_EQ(photo.ImageOffset, places[p][1].Offset);
    EXPECT_EQ(photo.ImageSize, places[p][1].Size);
    EXPECT_EQ(photo.ThumbOffset, places[p][0].Offset);
  }
  EXPECT_EQ(db_.Photos.Items(2).FileNumber, 2);

  EXPECT_EQ(db_.ExportFormat.FormatId, 1024);
  EXPECT_EQ(db_.ExportFormat.SlotBytes, 320 * 240 * 2);
  EXPECT_EQ(db_.ExportFormat.Width, 320);
  EXPECT_EQ(db_.ExportFormat.Height, 240);
  EXPECT_EQ(db_.ExportFormat.FileCount, 2);
  EXPECT_EQ(db_.ThumbFormat.FormatId, 1009);
  EXPECT_EQ(db_.ThumbFormat.SlotBytes, 42 * 30 * 2);
  EXPECT_EQ(db_.ThumbFormat.Width, 42);
  EXPECT_EQ(db_.ThumbFormat.Height, 30);
  EXPECT_FALSE(db_.CopyOriginals);

  EXPECT_EQ(AlbumNames(), (std::vector<std::string>{"Library", "Été à Zürich", "日本の旅"}));
  EXPECT_EQ(db_.Albums.Items(1).PhotoIds, (std::vector<std::uint32_t>{65, 64}));
  EXPECT_EQ(db_.Albums.Items(1).Count, 2);
  EXPECT_EQ(db_.Albums.Items(2).PhotoIds, (std::vector<std::uint32_t>{0xFFFFFFF0u}));
  for (std::size_t a = 0; a < db_.Albums.Count(); ++a) EXPECT_EQ(db_.Albums.Items(a).AlbumId, 0u);
  // The album page layout was set at the end of the walk.
  EXPECT_GT(db_.CellsPerPage, 0);
}

// Layouts that real libraries use read like the plain one.
TEST_F(PhotoDatabaseReaderTest, LayoutVariantsReadAlike) {
  struct TVariant {
    const char* Name;
    void (*Apply)(TLibrarySpec&);
  };
  const TVariant variants[] = {
      {"album list first", [](TLibrarySpec& s) { s.AlbumListFirst = true; }},
      {"no file list", [](TLibrarySpec& s) { s.FileListSection = false; }},
      {"UTF-8 file names", [](TLibrarySpec& s) { s.Utf8FileNames = true; }},
      {"capital tags", [](TLibrarySpec& s) { s.UpperCaseTags = true; }},
      {"padded headers", [](TLibrarySpec& s) { s.Padding = 36; }},
  };
  for (const TVariant& variant : variants) {
    SCOPED_TRACE(variant.Name);
    TLibrarySpec desc = SampleSpec();
    variant.Apply(desc);
    TIpodPhotoDb db(device_, nullptr, false);
    ASSERT_TRUE(db.ParsePhotoDatabaseBytes(testing::BuildPhotoDatabase(desc)));
    ASSERT_EQ(db.Photos.Count(), 3u);
    EXPECT_EQ(db.Photos.Items(2).FileNumber, 2);
    EXPECT_EQ(db.ExportFormat.FileCount, 2);
    ASSERT_EQ(db.Albums.Count(), 3u);
    EXPECT_EQ(db.Albums.Items(2).Name, "日本の旅");
    EXPECT_EQ(db.Albums.Items(1).PhotoIds.size(), 2u);
  }
  const TBytes mixed =
      testing::BreakDatabase(testing::BuildPhotoDatabase(SampleSpec()), TBreakage::MixedCaseTags);
  EXPECT_TRUE(Parse(mixed));
  EXPECT_EQ(db_.Photos.Count(), 3u);
  EXPECT_EQ(db_.Albums.Count(), 3u);
}

TEST_F(PhotoDatabaseReaderTest, ReadsTheFileThroughTheDevice) {
  testing::TTempDir root;
  testing::WriteIpod(SampleSpec(), root.Path());
  std::string error;
  ASSERT_TRUE(device_.UseFolder(root.Path(), error)) << error;
  EXPECT_TRUE(db_.ParsePhotoDatabase());
  EXPECT_EQ(db_.Photos.Count(), 3u);
}

TEST_F(PhotoDatabaseReaderTest, UnreadableFileIsLogged) {
  testing::TTempDir root;
  testing::WriteFile(root / "iPod_Control/iTunes/iTunesDB", {});
  std::string error;
  ASSERT_TRUE(device_.UseFolder(root.Path(), error)) << error;
  EXPECT_FALSE(db_.ParsePhotoDatabase());
  EXPECT_EQ(db_.LogText.rfind("\r\nRead DB fail: ", 0), 0u);
  EXPECT_FALSE(db_.PhotoDatabaseRead());
}

TEST_F(PhotoDatabaseReaderTest, SurveyTakesTheFirstWidestReference) {
  const TBytes first = chunk::Mhii(1, {Ref(1009, 42, 30, ""), Ref(1013, 220, 176, "a_1.x"),
                                       Ref(1024, 320, 240, "b_1.x"), Ref(1064, 320, 240, "c_1.x")});
  ASSERT_TRUE(Parse(Library({first})));
  EXPECT_EQ(db_.ExportFormat.FormatId, 1024);
  EXPECT_EQ(db_.ThumbFormat.FormatId, 1009);
}

TEST_F(PhotoDatabaseReaderTest, SurveyPrefersThumbnailIds) {
  // 1032 replaces the narrower 1009 chosen before it; a later 1036 does not
  // replace 1032. Its size comes from the table, its slot from the reference.
  const TBytes first =
      chunk::Mhii(1, {Ref(1009, 30, 20, ""), Ref(1032, 99, 99, "", 0, 3108), Ref(1036, 50, 41, ""),
                      Ref(1024, 320, 240, "F1024_1.ithmb")});
  ASSERT_TRUE(Parse(Library({first})));
  EXPECT_EQ(db_.ThumbFormat.FormatId, 1032);
  EXPECT_EQ(db_.ThumbFormat.SlotBytes, 3108);
  EXPECT_EQ(db_.ThumbFormat.Width, 42);
  EXPECT_EQ(db_.ThumbFormat.Height, 37);
}

TEST_F(PhotoDatabaseReaderTest, UnknownFormatKeepsTheSurveyedSizeWithPadding) {
  const TBytes first = chunk::Mhii(1, {Ref(7001, 40, 30, "", 0, 100, 2, 1),
                                       Ref(7002, 500, 300, "F7002_1.ithmb", 0, 100, 12, 4)});
  ASSERT_TRUE(Parse(Library({first})));
  EXPECT_EQ(db_.ExportFormat.Width, 512);
  EXPECT_EQ(db_.ExportFormat.Height, 304);
  EXPECT_EQ(db_.ThumbFormat.Width, 42);
  EXPECT_EQ(db_.ThumbFormat.Height, 31);
}

TEST_F(PhotoDatabaseReaderTest, OriginalFileContainerTakesTheExportFormat) {
  TLibrarySpec desc = SampleSpec();
  desc.Originals = true;
  for (std::size_t p = 0; p < desc.Photos.size(); ++p) {
    desc.Photos[p].OriginalName = "DSC" + std::to_string(p) + ".JPG";
  }
  ASSERT_TRUE(Parse(testing::BuildPhotoDatabase(desc)));
  EXPECT_TRUE(db_.CopyOriginals);
  EXPECT_EQ(db_.ExportFormat.FormatId, 0);
  EXPECT_EQ(db_.ExportFormat.SlotBytes, 0);
  ASSERT_EQ(db_.Photos.Count(), 3u);
  EXPECT_EQ(db_.Photos.Items(1).Path, ":Full Resolution:DSC1.JPG");

  // A reference of an original-file format wins even after a wider one.
  const TBytes first = chunk::Mhii(9, {Ref(1024, 320, 240, "F1024_1.ithmb"),
                                       Ref(4006, 100, 100, ":DCIM:a.jpg"), Ref(1009, 42, 30, "")});
  TIpodPhotoDb db(device_, nullptr, false);
  ASSERT_TRUE(db.ParsePhotoDatabaseBytes(Library({first})));
  EXPECT_TRUE(db.CopyOriginals);
  EXPECT_EQ(db.ExportFormat.FormatId, 4006);
  ASSERT_EQ(db.Photos.Count(), 1u);
  EXPECT_EQ(db.Photos.Items(0).Path, ":DCIM:a.jpg");
}

TEST_F(PhotoDatabaseReaderTest, NoUsableFormatFailsWithoutALine) {
  ASSERT_FALSE(Parse(Library({chunk::Mhii(1, {Ref(1024, 0, 0, "F1024_1.ithmb")})})));
  EXPECT_EQ(db_.LogText, "");
  EXPECT_FALSE(db_.PhotoDatabaseRead());
  EXPECT_FALSE(Parse(Library({})));
  EXPECT_EQ(db_.LogText, "");
}

TEST_F(PhotoDatabaseReaderTest, FileNumbersComeFromTheNames) {
  ASSERT_TRUE(Parse(Library({Photo(1, ":Thumbs:F1024.ithmb"), Photo(2, ":Thumbs:F1024_3.ithmb"),
                             Photo(3, ":Thumbs:F1024_x.ithmb"), Photo(4, "F1024_12"),
                             Photo(5, "F1024_99999999999.ithmb")})));
  ASSERT_EQ(db_.Photos.Count(), 5u);
  EXPECT_EQ(db_.Photos.Items(0).FileNumber, 1);
  EXPECT_EQ(db_.Photos.Items(1).FileNumber, 3);
  EXPECT_EQ(db_.Photos.Items(2).FileNumber, 1);
  EXPECT_EQ(db_.Photos.Items(3).FileNumber, 12);
  EXPECT_EQ(db_.Photos.Items(4).FileNumber, 1);
  EXPECT_EQ(db_.ExportFormat.FileCount, 12);
}

TEST_F(PhotoDatabaseReaderTest, PhotoNeedsBothReferences) {
  const TBytes exportOnly = chunk::Mhii(2, {Ref(1024, 320, 240, "F1024_1.ithmb")});
  // A child of another type that holds no image reference drops its photo.
  const TBytes odd = chunk::Mhii(3, {chunk::Container(4, chunk::String(1, "x")),
                                     Ref(1009, 42, 30, ""), Ref(1024, 320, 240, "F1024_1.ithmb")});
  // Type-1 children are passed over without a reference.
  const TBytes withTitle =
      chunk::Mhii(4, {chunk::Container(1, chunk::String(1, "title")), Ref(1009, 42, 30, ""),
                      Ref(1024, 320, 240, "F1024_1.ithmb")});
  ASSERT_TRUE(Parse(Library({Photo(1), exportOnly, odd, withTitle, Photo(5)})));
  EXPECT_EQ(Ids(), (std::vector<std::uint32_t>{1, 4, 5}));
  EXPECT_TRUE(Logged("MHNI error"));
}

TEST_F(PhotoDatabaseReaderTest, SectionsOfOtherTypesArePassedOver) {
  TBytes body = chunk::Section(7, chunk::Mhlf({}));
  chunk::Append(body, chunk::Section(1, chunk::Mhli({Photo(1)})));
  chunk::Append(body, chunk::Section(3, chunk::Mhlf({chunk::Mhif(1024, 153600)})));
  chunk::Append(body, chunk::Section(2, chunk::Mhla({chunk::Mhba({chunk::String(1, "A")}, {1})})));
  ASSERT_TRUE(Parse(chunk::Mhfd(4, body)));
  EXPECT_EQ(db_.Photos.Count(), 1u);
  EXPECT_EQ(AlbumNames(), (std::vector<std::string>{"A"}));
}

TEST_F(PhotoDatabaseReaderTest, AlbumEdgeCases) {
  const std::vector<TBytes> albums = {
      // No string chunk: left out, its items unread.
      chunk::Mhba({}, {1, 2}),
      chunk::Mhba({chunk::String(1, "kept")}, {1}),
      // A first string chunk without text gives an empty name, not the
      // previous album's.
      chunk::Mhba({chunk::String(2, "Dissolve")}, {2}),
      chunk::Mhba({chunk::String(3, "Ünï"), chunk::String(2, "x"), chunk::String(1, "y")}, {2, 1}),
  };
  ASSERT_TRUE(Parse(Library({Photo(1), Photo(2)}, albums)));
  EXPECT_EQ(AlbumNames(), (std::vector<std::string>{"kept", "", "Ünï"}));
  EXPECT_EQ(db_.Albums.Items(2).PhotoIds, (std::vector<std::uint32_t>{2, 1}));

  TIpodPhotoDb db(device_, nullptr, false);
  const TBytes broken = testing::BreakDatabase(testing::BuildPhotoDatabase(SampleSpec()),
                                               TBreakage::WrongAlbumItemTag);
  ASSERT_TRUE(db.ParsePhotoDatabaseBytes(broken));
  EXPECT_EQ(db.Albums.Items(0).PhotoIds, (std::vector<std::uint32_t>{65, 0xFFFFFFF0u}));
  EXPECT_EQ(db.Albums.Items(0).Count, 2);
  EXPECT_EQ(db.Albums.Items(1).PhotoIds.size(), 2u);

  TIpodPhotoDb last(device_, nullptr, false);
  ASSERT_TRUE(last.ParsePhotoDatabaseBytes(testing::BreakDatabase(
      testing::BuildPhotoDatabase(SampleSpec()), TBreakage::WrongAlbumStringTag)));
  EXPECT_EQ(last.Albums.Count(), 2u);
}

// The failures of the walk, each with its line and what it keeps.
TEST_F(PhotoDatabaseReaderTest, WrongTagsAreLoggedAndContained) {
  struct TCase {
    TBreakage Kind;
    const char* Line;
    bool Result;
    std::size_t Photos;
    std::size_t Albums;
  };
  const TCase cases[] = {
      {TBreakage::WrongFileTag, "MHFD Err", false, 0, 0},
      {TBreakage::CutInFileHeader, "MHFD Err", false, 0, 0},
      {TBreakage::WrongImageListTag, "MHLI Err", false, 0, 0},
      {TBreakage::WrongFirstImageTag, "Get info: MHII err", false, 0, 0},
      {TBreakage::WrongFirstChildTag, "Get info: MHOD", false, 0, 0},
      // The middle photo: the rest of the list is passed over.
      {TBreakage::WrongImageTag, "MHII Err", true, 1, 3},
      // Kept as far as it was filled (nothing yet), the next image read.
      {TBreakage::WrongChildTag, "MHOD photo err", true, 3, 3},
      {TBreakage::WrongReferenceTag, "MHNI error", true, 2, 3},
      {TBreakage::WrongAlbumListTag, "MHLA Err", true, 3, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line);
    TIpodPhotoDb db(device_, nullptr, false);
    const TBytes file = testing::BreakDatabase(testing::BuildPhotoDatabase(SampleSpec()), c.Kind);
    EXPECT_EQ(db.ParsePhotoDatabaseBytes(file), c.Result);
    EXPECT_EQ(db.LogText, std::string("\r\n") + c.Line);
    EXPECT_EQ(db.Photos.Count(), c.Photos);
    EXPECT_EQ(db.Albums.Count(), c.Albums);
  }
}

TEST_F(PhotoDatabaseReaderTest, FirstReferenceWithoutImageReference) {
  const TBytes first = chunk::Mhii(1, {chunk::Container(2, chunk::String(1, "x"))});
  EXPECT_FALSE(Parse(Library({first})));
  EXPECT_EQ(db_.LogText, "\r\nGet info: MHNI");
}

TEST_F(PhotoDatabaseReaderTest, AlbumsBeforeAFailedImageListAreKept) {
  TLibrarySpec desc = SampleSpec();
  desc.AlbumListFirst = true;
  const TBytes file =
      testing::BreakDatabase(testing::BuildPhotoDatabase(desc), TBreakage::WrongImageListTag);
  EXPECT_FALSE(Parse(file));
  EXPECT_EQ(db_.Albums.Count(), 3u);
  // The walk stopped early: no page layout.
  EXPECT_EQ(db_.CellsPerPage, 0);
}

TEST_F(PhotoDatabaseReaderTest, SurvivesEveryTruncation) {
  const TBytes file = testing::BuildPhotoDatabase(SampleSpec());
  for (std::size_t n = 0; n <= file.size(); ++n) {
    // An exact-size copy, so that a sanitizer sees any read past the end.
    const TBytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
    TIpodPhotoDb db(device_, nullptr, false);
    const bool result = db.ParsePhotoDatabaseBytes(cut);
    ASSERT_LE(db.Photos.Count(), 3u) << n;
    ASSERT_LE(db.Albums.Count(), 3u) << n;
    if (n < 28) {
      ASSERT_FALSE(result) << n;
      ASSERT_EQ(db.LogText, "\r\nMHFD Err") << n;
    }
    if (n == file.size()) {
      EXPECT_TRUE(result);
    }
  }
}

TEST_F(PhotoDatabaseReaderTest, SurvivesRandomDamage) {
  const TBytes file = testing::BuildPhotoDatabase(SampleSpec());
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    TBytes damaged = file;
    const int hits = 1 + static_cast<int>(random() % 8);
    for (int h = 0; h < hits; ++h) {
      const std::size_t at = random() % damaged.size();
      // Lengths and counts are the interesting targets: write whole words.
      if (random() % 2 == 0 && at + 4 <= damaged.size()) {
        const std::uint32_t values[] = {0, 1, 0xFFFFFFFFu, 0x7FFFFFFFu,
                                        static_cast<std::uint32_t>(random())};
        chunk::PutU32(damaged, at & ~std::size_t{3}, values[random() % 5]);
      } else {
        damaged[at] = static_cast<std::uint8_t>(random());
      }
    }
    TIpodPhotoDb db(device_, nullptr, false);
    db.ParsePhotoDatabaseBytes(damaged);
    // The walk only moves forward: every photo and album has a tag of its
    // own in the data.
    ASSERT_LE(db.Photos.Count(), damaged.size() / 4) << round;
    ASSERT_LE(db.Albums.Count(), damaged.size() / 4) << round;
  }
}

TEST_F(PhotoDatabaseReaderTest, HostileLengthsAndCountsEndTheirLoops) {
  const TBytes good = testing::BuildPhotoDatabase(SampleSpec());
  struct TCase {
    TBreakage Kind;
    bool Result;
    std::size_t Photos;
  };
  const TCase cases[] = {
      {TBreakage::HugeImageCount, true, 3},
      // Read once; its length 0 then ends the list.
      {TBreakage::ZeroImageLength, true, 2},
      // The middle photo claims 0xFFFFFFFF children, a negative count: it has
      // none and is dropped; the one after it is read.
      {TBreakage::ZeroChildLength, true, 2},
      {TBreakage::SectionPastEnd, true, 3},
      {TBreakage::AlbumStringLoop, true, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Kind));
    TIpodPhotoDb db(device_, nullptr, false);
    EXPECT_EQ(db.ParsePhotoDatabaseBytes(testing::BreakDatabase(good, c.Kind)), c.Result);
    EXPECT_EQ(db.Photos.Count(), c.Photos);
  }

  // Cut inside the middle image: the first photo is whole, the walk ends at
  // the end of the data.
  TIpodPhotoDb cut(device_, nullptr, false);
  EXPECT_TRUE(cut.ParsePhotoDatabaseBytes(testing::BreakDatabase(good, TBreakage::CutInImage)));
  ASSERT_GE(cut.Photos.Count(), 1u);
  EXPECT_EQ(cut.Photos.Items(0).Id, 64u);
  EXPECT_EQ(cut.Photos.Items(0).FileNumber, 1);
  EXPECT_LE(cut.Photos.Count(), 2u);

  TIpodPhotoDb loop(device_, nullptr, false);
  ASSERT_TRUE(
      loop.ParsePhotoDatabaseBytes(testing::BreakDatabase(good, TBreakage::AlbumStringLoop)));
  // The looping album keeps its title; the albums after it are read.
  ASSERT_EQ(loop.Albums.Count(), 3u);
  EXPECT_EQ(loop.Albums.Items(1).Name, "Été à Zürich");
  EXPECT_EQ(loop.Albums.Items(2).PhotoIds, (std::vector<std::uint32_t>{0xFFFFFFF0u}));

  TIpodPhotoDb past(device_, nullptr, false);
  ASSERT_TRUE(
      past.ParsePhotoDatabaseBytes(testing::BreakDatabase(good, TBreakage::SectionPastEnd)));
  EXPECT_EQ(past.Albums.Count(), 0u);
  EXPECT_GT(past.CellsPerPage, 0);
}

TEST_F(PhotoDatabaseReaderTest, HugeCountsStopAtTheEndOfTheData) {
  TBytes file = Library({Photo(1), Photo(2)}, {chunk::Mhba({chunk::String(1, "A")}, {1, 2})});
  // The file claims 0x7FFFFFFF sections: the walk ends where the data ends.
  chunk::PutU32(file, 20, 0x7FFFFFFF);
  TIpodPhotoDb db(device_, nullptr, false);
  ASSERT_TRUE(db.ParsePhotoDatabaseBytes(file));
  EXPECT_EQ(db.Photos.Count(), 2u);

  // A section of length 0 would be read again and again: it is read once and
  // ends the list of sections.
  TBytes zeroSection = Library({Photo(1), Photo(2)}, {chunk::Mhba({chunk::String(1, "A")}, {1})});
  chunk::PutU32(zeroSection, 20, 0x7FFFFFFF);
  chunk::PutU32(zeroSection, 0x84 + 8, 0);
  TIpodPhotoDb sections(device_, nullptr, false);
  ASSERT_TRUE(sections.ParsePhotoDatabaseBytes(zeroSection));
  EXPECT_EQ(sections.Photos.Count(), 2u);
  EXPECT_EQ(sections.Albums.Count(), 0u);

  // The same for an album, an album item and a child of a photo.
  TBytes zeroAlbum = chunk::Mhba({chunk::String(1, "Z")}, {1, 2});
  chunk::PutU32(zeroAlbum, 8, 0);
  TBytes zeroItem = chunk::Mhba({chunk::String(1, "I")}, {2, 1});
  chunk::PutU32(zeroItem, zeroItem.size() - 2 * 0x28 + 8, 0);
  TBytes mhla = chunk::Mhla({zeroItem, zeroAlbum, chunk::Mhba({chunk::String(1, "never")}, {1})});
  chunk::PutU32(mhla, 8, 0x7FFFFFFF);
  TBytes zeroChild = Ref(1024, 320, 240, "F1024_4.ithmb");
  chunk::PutU32(zeroChild, 8, 0);
  // Read again and again, the export reference would count as both of them.
  TBytes image = chunk::Mhii(3, {zeroChild, Ref(1009, 42, 30, "")});
  chunk::PutU32(image, 12, 0x7FFFFFFF);
  TBytes body = chunk::Section(1, chunk::Mhli({Photo(1), image, Photo(2)}));
  chunk::Append(body, chunk::Section(2, mhla));
  TIpodPhotoDb zeros(device_, nullptr, false);
  ASSERT_TRUE(zeros.ParsePhotoDatabaseBytes(chunk::Mhfd(2, body)));
  EXPECT_EQ(Ids(zeros), (std::vector<std::uint32_t>{1, 2}));
  ASSERT_EQ(zeros.Albums.Count(), 2u);
  EXPECT_EQ(zeros.Albums.Items(0).PhotoIds, (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(zeros.Albums.Items(1).Name, "Z");
  EXPECT_EQ(zeros.Albums.Items(1).PhotoIds, (std::vector<std::uint32_t>{1, 2}));

  TBytes album = chunk::Mhba({chunk::String(1, "A")}, {1, 2});
  chunk::PutU32(album, 16, 0x7FFFFFFF);
  TIpodPhotoDb items(device_, nullptr, false);
  ASSERT_TRUE(items.ParsePhotoDatabaseBytes(
      Library({Photo(1)}, {album, chunk::Mhba({chunk::String(1, "B")}, {1})})));
  // The items run on over the next album chunk (a wrong tag, passed over by
  // its length) to the end of the data; the next album is read on its own.
  ASSERT_EQ(items.Albums.Count(), 2u);
  EXPECT_EQ(items.Albums.Items(0).PhotoIds, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(items.Albums.Items(1).PhotoIds, (std::vector<std::uint32_t>{1}));

  // A text longer than the data, and a zero-length string chunk, read as no
  // string chunk at all.
  TBytes longText = chunk::String(1, "A");
  chunk::PutU32(longText, 0x18, 0xFFFFFFF0u);
  TBytes zero = chunk::String(1, "B");
  chunk::PutU32(zero, 8, 0);
  TIpodPhotoDb strings(device_, nullptr, false);
  ASSERT_TRUE(strings.ParsePhotoDatabaseBytes(
      Library({Photo(1)}, {chunk::Mhba({longText}, {1}), chunk::Mhba({zero}, {1}),
                           chunk::Mhba({chunk::String(1, "C")}, {1})})));
  EXPECT_EQ(strings.Albums.Count(), 1u);
}

}  // namespace
}  // namespace quill
