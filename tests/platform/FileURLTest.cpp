#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <string>

#include "platform/url/FileURL.h"

namespace zivuv::platform {
namespace {

struct UrlCase {
  const char* input;
  bool isDirectory;
  const char* text;
  const char* path;
  const char* last;
};

TEST(FileURL, NormalisesEncodesAndNamesTheLastComponent) {
  const UrlCase cases[] = {
      {"/", true, "file:///", "/", "/"},
      {"/", false, "file:///", "/", "/"},
      {"/x/a", true, "file:///x/a/", "/x/a", "a"},
      {"/x/a/", false, "file:///x/a", "/x/a", "a"},
      {"//x/./a//b/../c/", true, "file:///x/a/c/", "/x/a/c", "c"},
      {"/../..", true, "file:///", "/", "/"},
      {"/x/..hidden/...", false, "file:///x/..hidden/...", "/x/..hidden/...", "..."},
      {"/x/a b%/\xC3\xBC", true, "file:///x/a%20b%25/%C3%BC/", "/x/a b%/\xC3\xBC", "\xC3\xBC"},
      {"/x/A-z_0.9~", false, "file:///x/A-z_0.9~", "/x/A-z_0.9~", "A-z_0.9~"},
      {"/x/?#:@+\n\x7F", false, "file:///x/%3F%23%3A%40%2B%0A%7F", "/x/?#:@+\n\x7F", "?#:@+\n\x7F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const FileURL url = FileURL::fromPath(c.input, c.isDirectory);
    EXPECT_EQ(url.text(), c.text);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.lastPathComponent(), c.last);
  }

  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(FileURL::fromPath("rel/./x/", true),
            FileURL::fromPath(std::string(cwd) + "/rel/x", true));
  EXPECT_EQ(FileURL::fromPath("", true), FileURL::fromPath(cwd, true));
}

TEST(FileURL, EqualityIsByTextAlone) {
  const FileURL folder = FileURL::fromPath("/x/a", true);
  EXPECT_NE(folder, FileURL::fromPath("/x/a", false));  // a trailing slash is another folder
  EXPECT_EQ(folder, FileURL::fromPath("/x//b/../a/", true));
  EXPECT_EQ(folder, folder.withSecurityScope());
  EXPECT_TRUE(folder.withSecurityScope().hasSecurityScope());
  EXPECT_FALSE(folder.hasSecurityScope());
  EXPECT_EQ(std::hash<FileURL>{}(folder), std::hash<FileURL>{}(folder.withSecurityScope()));

  // An entry of a folder is the same URL however it is made.
  EXPECT_EQ(folder.appending("b c", true), FileURL::fromPath("/x/a/b c", true));
  EXPECT_EQ(folder.appending("f", false), FileURL::fromPath("/x/a/f", false));
  EXPECT_EQ(FileURL::fromPath("/", true).appending("r", true), FileURL::fromPath("/r", true));
  EXPECT_EQ(folder.appending("..", true), FileURL::fromPath("/x", true));
}

}  // namespace
}  // namespace zivuv::platform
