#include "support/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace quill {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST(TextCase, AsciiOnlyFolding) {
  EXPECT_EQ(ToLowerAscii("IMG_0001.JPG"), "img_0001.jpg");
  EXPECT_EQ(ToUpperAscii("dcim/100apple"), "DCIM/100APPLE");
  // Bytes of UTF-8 sequences are never touched.
  EXPECT_EQ(ToUpperAscii("\xC3\xA9t\xC3\xA9"), "\xC3\xA9T\xC3\xA9");
  EXPECT_TRUE(EqualsNoCase("Photo Database", "PHOTO database"));
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
  EXPECT_FALSE(EqualsNoCase("abc", "abd"));
  EXPECT_TRUE(StartsWithNoCase("iPod_Control/Photos", "IPOD_control"));
  EXPECT_FALSE(StartsWithNoCase("iPod", "iPod_Control"));
  EXPECT_TRUE(StartsWithNoCase("x", ""));
  EXPECT_EQ(ReplaceAll(":iPod_Control:Photos:F1", ':', '/'), "/iPod_Control/Photos/F1");
}

TEST(TextFileExt, ExtensionOfTheLastComponentOnly) {
  EXPECT_EQ(ExtractFileExt("IMG_0001.JPG"), ".JPG");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("README"), "");
  EXPECT_EQ(ExtractFileExt("dir.d/file"), "");
  EXPECT_EQ(ExtractFileExt("Full Resolution:2006:01.05"), ".05");
  EXPECT_EQ(ExtractFileExt("folder.x\\name"), "");
  EXPECT_EQ(ExtractFileExt(""), "");

  EXPECT_EQ(ChangeFileExt("IMG_0001.THM", ".JPG"), "IMG_0001.JPG");
  EXPECT_EQ(ChangeFileExt("photo", ".jpg"), "photo.jpg");
  EXPECT_EQ(ChangeFileExt("dir.d/photo", ".jpg"), "dir.d/photo.jpg");
  EXPECT_EQ(ChangeFileExt("a.b.c", ""), "a.b");
}

TEST(TextUtf16, DecodesPairsAndReplacesLoneSurrogates) {
  // "Aé€" then U+1F600 as a surrogate pair.
  EXPECT_EQ(Utf16LeToUtf8(Bytes({0x41, 0x00, 0xE9, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE})),
            "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  // A high surrogate followed by a letter, and a low surrogate on its own.
  EXPECT_EQ(Utf16LeToUtf8(Bytes({0x3D, 0xD8, 0x41, 0x00, 0x00, 0xDE})),
            "\xEF\xBF\xBD"
            "A\xEF\xBF\xBD");
  // A high surrogate as the very last unit.
  EXPECT_EQ(Utf16LeToUtf8(Bytes({0x42, 0x00, 0x3D, 0xD8})), "B\xEF\xBF\xBD");
}

TEST(TextUtf16, StopsAtZeroUnitAndIgnoresOddByte) {
  EXPECT_EQ(Utf16LeToUtf8(Bytes({0x48, 0x00, 0x69, 0x00, 0x00, 0x00, 0x58, 0x00})), "Hi");
  EXPECT_EQ(Utf16LeToUtf8(Bytes({0x48, 0x00, 0x69})), "H");
  EXPECT_EQ(Utf16LeToUtf8({}), "");
}

TEST(TextUtf8, KeepsValidTextAndStopsAtZero) {
  EXPECT_EQ(BytesToUtf8(Bytes("Vacances \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80")),
            "Vacances \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(BytesToUtf8(Bytes({'a', 'b', 0, 'c'})), "ab");
  EXPECT_EQ(BytesToUtf8({}), "");
}

TEST(TextUtf8, ReplacesEveryBadByte) {
  const std::string r = "\xEF\xBF\xBD";
  // Latin-1 byte on its own.
  EXPECT_EQ(BytesToUtf8(Bytes({'c', 0xE9, 'a'})), "c" + r + "a");
  // Overlong encodings of '/' and of NUL.
  EXPECT_EQ(BytesToUtf8(Bytes({0xC0, 0xAF})), r + r);
  EXPECT_EQ(BytesToUtf8(Bytes({0xE0, 0x80, 0xAF, 'x'})), r + r + r + "x");
  // An encoded surrogate (U+D800) and a value above U+10FFFF.
  EXPECT_EQ(BytesToUtf8(Bytes({0xED, 0xA0, 0x80})), r + r + r);
  EXPECT_EQ(BytesToUtf8(Bytes({0xF4, 0x90, 0x80, 0x80})), r + r + r + r);
  // A sequence cut by the end of the data and one cut by a zero byte.
  EXPECT_EQ(BytesToUtf8(Bytes({'a', 0xE2, 0x82})), "a" + r + r);
  EXPECT_EQ(BytesToUtf8(Bytes({0xE2, 0x82, 0x00, 0xAC})), r + r);
}

TEST(TextSafeFileName, DropsUnsafeCharacters) {
  EXPECT_EQ(SafeFileName("IMG_0001.JPG"), "IMG_0001.JPG");
  EXPECT_EQ(SafeFileName("../../etc/passwd"), "....etcpasswd");
  EXPECT_EQ(SafeFileName("a\\b/c"), "abc");
  EXPECT_EQ(SafeFileName("tab\there\nnl\x7F"), "tabherenl");
  // C1 control U+0085 goes, é stays.
  EXPECT_EQ(SafeFileName("x\xC2\x85y\xC3\xA9"), "xy\xC3\xA9");
  // Invalid UTF-8 bytes go.
  EXPECT_EQ(SafeFileName("ph\xFFoto.jpg"), "photo.jpg");
  // Leading and trailing spaces belong to the name.
  EXPECT_EQ(SafeFileName(" my photo .jpg "), " my photo .jpg ");
}

TEST(TextSafeFileName, RefusesWhatCannotBeMadeSafe) {
  EXPECT_EQ(SafeFileName(""), std::nullopt);
  EXPECT_EQ(SafeFileName("."), std::nullopt);
  EXPECT_EQ(SafeFileName(".."), std::nullopt);
  EXPECT_EQ(SafeFileName(" . "), std::nullopt);
  EXPECT_EQ(SafeFileName("/"), std::nullopt);
  EXPECT_EQ(SafeFileName("./"), std::nullopt);
  EXPECT_EQ(SafeFileName("/./\\"), std::nullopt);
  EXPECT_EQ(SafeFileName("\x01\x02"), std::nullopt);
  EXPECT_EQ(SafeFileName("\xC0\xAF"), std::nullopt);  // overlong '/'
}

TEST(TextDosSafeName, MapsWhatFatRefusesAndKeepsTheRest) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"IMG_0001.JPG", "IMG_0001.JPG"},
      {"a\"b*c:d<e>f?g\\h|i.jpg", "a_b_c_d_e_f_g_h_i.jpg"},
      {"photo.jpg. . ", "photo.jpg"},
      {" lead.jpg", " lead.jpg"},
      {"con.jpg", "con_.jpg"},
      {"LPT1", "LPT1_"},
      {"COM0.jpg", "COM0.jpg"},
      {"CONSOLE.jpg", "CONSOLE.jpg"},
      {"\xC3\xA9t\xC3\xA9?.heic", "\xC3\xA9t\xC3\xA9_.heic"},
      {"...", std::nullopt},
      {"  ", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(DosSafeName(name), expected) << name;
}

TEST(TextSafeFileName, CutsLongNamesKeepingExtensionAndCharacters) {
  const std::string long_ascii = std::string(300, 'a') + ".JPG";
  const auto cut = SafeFileName(long_ascii);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->size(), 255u);
  EXPECT_EQ(cut->substr(251), ".JPG");

  // Two-byte characters: the cut must not split one.
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";
  accents += ".png";
  const auto cut2 = SafeFileName(accents);
  ASSERT_TRUE(cut2.has_value());
  EXPECT_LE(cut2->size(), 255u);
  EXPECT_EQ(cut2->substr(cut2->size() - 4), ".png");
  EXPECT_EQ(BytesToUtf8(Bytes(*cut2)), *cut2);

  // An "extension" as long as the name is not kept at the cost of everything else.
  const auto cut3 = SafeFileName("x." + std::string(400, 'b'));
  ASSERT_TRUE(cut3.has_value());
  EXPECT_EQ(cut3->size(), 255u);
  EXPECT_EQ(cut3->substr(0, 3), "x.b");

  // Exactly 255 bytes is left alone.
  const std::string exact(255, 'z');
  EXPECT_EQ(SafeFileName(exact), exact);
}

TEST(TextParentComponent, FindsDotDotBetweenAnySeparators) {
  EXPECT_TRUE(HasParentComponent(".."));
  EXPECT_TRUE(HasParentComponent("../x"));
  EXPECT_TRUE(HasParentComponent(":iPod_Control:..:secret"));
  EXPECT_TRUE(HasParentComponent("a\\..\\b"));
  EXPECT_TRUE(HasParentComponent("a/b/.."));
  EXPECT_FALSE(HasParentComponent(":iPod_Control:Photos:Full Resolution:a.jpg"));
  EXPECT_FALSE(HasParentComponent("a/.../b"));
  EXPECT_FALSE(HasParentComponent("a/..b/c.."));
  EXPECT_FALSE(HasParentComponent("./x"));
  EXPECT_FALSE(HasParentComponent(""));
}

}  // namespace
}  // namespace quill
