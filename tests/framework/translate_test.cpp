// Texts reach the host through the German catalogue when the host runs in German.

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/mo_catalogue.h"
#include "framework/translate.h"

namespace kyt {
namespace {

// Each test runs in a process of its own (ctest), so the language can be chosen up front.
void UseGerman() {
  setenv("LANGUAGE", "de", 1);
#ifndef _WIN32
  // gettext ignores LANGUAGE in the plain "C" locale (the Windows catalogue reader does not).
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
#endif
}

TEST(TranslateTest, FindsTheGermanCatalogueBesideTheBinary) {
  UseGerman();
  EXPECT_EQ(Translate("Creating..."), "Erstelle...");
  EXPECT_EQ(TranslateFormat("Socket: Connecting... #%d", 3), "Socket: Verbinde... #3");
  EXPECT_EQ(TranslateFormat("PHP function was not handled: %s", "CSCK_Foo"),
            "PHP-Funktion wurde nicht behandelt: CSCK_Foo");
}

TEST(TranslateTest, PassesAnUntranslatedTextUnchanged) {
  UseGerman();
  EXPECT_EQ(Translate("No such text in any catalogue"), "No such text in any catalogue");
  // Debug titles and the library's own log texts are never looked up, so they have no entry.
  EXPECT_EQ(Translate("RECEIVED"), "RECEIVED");
  EXPECT_EQ(Translate("Register"), "Register");
}

TEST(TranslateTest, EnglishWithoutALanguage) {
  unsetenv("LANGUAGE");
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(Translate("Creating..."), "Creating...");
}

TEST(TranslateTest, CatalogueDirectoryCanBeOverridden) {
  setenv("KYT_LOCALEDIR", "/nonexistent/locale", 1);
  EXPECT_EQ(CatalogueDirectory(), "/nonexistent/locale");
  unsetenv("KYT_LOCALEDIR");
  // The same folder, which Windows names with its drive and backslashes.
  EXPECT_TRUE(std::filesystem::equivalent(CatalogueDirectory(), KYT_BUILD_DIR "/locale"))
      << CatalogueDirectory();
}

// The catalogue reader that stands in for libintl on Windows, on the catalogue the build made.
std::string GermanImage() {
  std::ifstream in(KYT_BUILD_DIR "/locale/de/LC_MESSAGES/default.mo", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(MoCatalogueTest, FindsWhatGettextFinds) {
  UseGerman();
  auto catalogue = TMoCatalogue::Parse(GermanImage());
  ASSERT_TRUE(catalogue.has_value());
  EXPECT_GT(catalogue->Size(), 10u);
  for (const char* text : {"Creating...", "Deleting...", "PHP function was not handled: %s"}) {
    const std::string* found = catalogue->Find(text);
    ASSERT_NE(found, nullptr) << text;
    EXPECT_EQ(*found, Translate(text));
  }
  EXPECT_EQ(catalogue->Find(""), nullptr);  // the header is no text
  EXPECT_EQ(catalogue->Find("No such text in any catalogue"), nullptr);
}

TEST(MoCatalogueTest, ReadsBigEndianFilesAndRefusesDamagedOnes) {
  const std::string image = GermanImage();
  ASSERT_GT(image.size(), 28u);
  // The same catalogue written on a big-endian machine: every header and table word swapped.
  std::string swapped = image;
  const auto word = [&](std::size_t at) {
    return uint32_t(uint8_t(image[at])) | uint32_t(uint8_t(image[at + 1])) << 8 |
           uint32_t(uint8_t(image[at + 2])) << 16 | uint32_t(uint8_t(image[at + 3])) << 24;
  };
  const uint32_t count = word(8);
  std::vector<std::size_t> words = {0, 4, 8, 12, 16};
  for (uint32_t table : {word(12), word(16)})
    for (uint32_t i = 0; i < count * 2; ++i) words.push_back(table + 4 * i);
  for (std::size_t at : words) std::reverse(swapped.begin() + at, swapped.begin() + at + 4);
  auto big = TMoCatalogue::Parse(swapped);
  ASSERT_TRUE(big.has_value());
  ASSERT_NE(big->Find("Creating..."), nullptr);
  EXPECT_EQ(*big->Find("Creating..."), "Erstelle...");

  std::string offsetOutside = image;
  offsetOutside[word(16) + 4] = '\xff';
  offsetOutside[word(16) + 7] = '\x7f';
  for (const std::string& bad : {image.substr(0, 19), image.substr(0, word(16) + 4),
                                 std::string("not a catalogue at all"), offsetOutside}) {
    EXPECT_FALSE(TMoCatalogue::Parse(bad).has_value());
  }
  EXPECT_FALSE(TMoCatalogue::Load(KYT_BUILD_DIR "/no/such/file.mo").has_value());
}

TEST(MoCatalogueTest, LanguagesComeFromTheEnvironmentThenTheSystem) {
  struct Case {
    const char* language;
    const char* all;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"", "", {"fr_FR", "fr"}},
      {"", "de_AT.UTF-8@euro", {"de_AT", "de"}},
      {"it:de_CH", "de_AT.UTF-8", {"it", "de_CH", "de", "de_AT"}},
      {"it", "C", {}},
  };
  for (const Case& c : cases) {
    setenv("LANGUAGE", c.language, 1);
    setenv("LC_ALL", c.all, 1);
    setenv("LC_MESSAGES", "", 1);
    setenv("LANG", "", 1);
    EXPECT_EQ(CatalogueLanguages("fr-FR"), c.expected) << c.language << " / " << c.all;
  }
  unsetenv("LANGUAGE");
  unsetenv("LC_ALL");
}

}  // namespace
}  // namespace kyt
