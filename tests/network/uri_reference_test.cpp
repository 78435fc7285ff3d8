// The RFC 3986 reader of the Windows build, held to RFC 3986's own examples (section 5.4) and,
// where the build machine has uriparser, to uriparser on every case.

#include "network/uri_reference.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <uriparser/Uri.h>
#endif

namespace kyt {
namespace {

std::string Resolve(const std::string& base, const std::string& reference) {
  auto b = ParseURIReference(base);
  auto r = ParseURIReference(reference);
  if (!b || !r)
    return "(invalid)";
  return ComposeURIReference(ResolveURIReference(*b, *r));
}

#ifndef _WIN32
struct TUriparser {
  UriUriA uri{};
  bool parsed = false;
  explicit TUriparser(const std::string& text) {
    const char* error = nullptr;
    parsed =
        uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error) == URI_SUCCESS;
  }
  TUriparser() = default;
  ~TUriparser() {
    if (parsed)
      uriFreeUriMembersA(&uri);
  }
};

std::string UriparserResolve(const std::string& base, const std::string& reference) {
  TUriparser b(base), r(reference), out;
  if (!b.parsed || !r.parsed)
    return "(invalid)";
  if (uriAddBaseUriA(&out.uri, &r.uri, &b.uri) != URI_SUCCESS)
    return "(failed)";
  out.parsed = true;
  int length = 0;
  uriToStringCharsRequiredA(&out.uri, &length);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  uriToStringA(text.data(), &out.uri, length + 1, nullptr);
  text.resize(static_cast<size_t>(length));
  return text;
}
#endif

TEST(URIReferenceTest, ResolvesTheExamplesOfTheStandard) {
  const std::string base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../..", "http://a/"},
      {"../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"http:g", "http:g"},
  };
  for (const auto& [reference, expected] : cases) {
    EXPECT_EQ(Resolve(base, reference), expected) << reference;
#ifndef _WIN32
    EXPECT_EQ(UriparserResolve(base, reference), expected) << reference;
#endif
  }
  EXPECT_EQ(Resolve("http://a", "g"), "http://a/g");
  // An IP literal stays as written (uriparser writes it out in full: [0000:...:0001]).
  EXPECT_EQ(Resolve(base, "//u:p@[::1]:8/x/../y"), "http://u:p@[::1]:8/y");
}

TEST(URIReferenceTest, AcceptsAndRefusesWhatTheGrammarDoes) {
  const std::pair<const char*, bool> cases[] = {
      {"http://h/p?q#f", true},
      {"http://us%65r:pw@h:81/", true},
      {"http://[::1]/", true},
      {"http://[1:2:3:4:5:6:7:8]/", true},
      {"http://[::ffff:1.2.3.4]/", true},
      {"http://[v7.a:b]/", true},
      {"http://h:/", true},
      {"http:", true},
      {"a/b:c", true},
      {"http://h /", false},
      {"http://h/\r\n", false},
      {"http://[::1/", false},
      {"http://[1:2:3:4:5:6:7:8:9]/", false},
      {"http://[1::2::3]/", false},
      {"http://[::1.2.3.256]/", false},
      {"http://[::1]x/", false},
      {"http://h:8x/", false},
      {"http://a@b@h/", false},
      {"http://h/%4", false},
      {"http://h/%zz", false},
      {"1http://h/", false},
      {"a:b/c:d", true},
      {"http://h/<", false},
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(ParseURIReference(text).has_value(), valid) << text;
#ifndef _WIN32
    EXPECT_EQ(TUriparser(text).parsed, valid) << text;
#endif
  }
  const auto parts = ParseURIReference("http://u:p@[::1]:81/x?q");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->UserInfo, "u:p");
  EXPECT_EQ(parts->Host, "::1");
  EXPECT_EQ(parts->Port, "81");
  EXPECT_EQ(parts->Path, "/x");
  EXPECT_EQ(parts->Query, "q");
  EXPECT_FALSE(parts->Fragment);
}

}  // namespace
}  // namespace kyt
