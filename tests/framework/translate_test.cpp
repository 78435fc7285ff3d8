// Texts reach the host through the German catalogue when the host runs in German.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "framework/translate.h"

namespace kyt {
namespace {

// Each test runs in a process of its own (ctest), so the language can be chosen up front.
void UseGerman() {
  setenv("LANGUAGE", "de", 1);
  // gettext ignores LANGUAGE in the plain "C" locale.
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
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
  EXPECT_EQ(CatalogueDirectory(), KYT_BUILD_DIR "/locale");
}

}  // namespace
}  // namespace kyt
