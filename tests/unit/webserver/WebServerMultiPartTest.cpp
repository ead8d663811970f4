#include "webserver/requests/WebServerMultiPartFormRequest.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "webserver/requests/WebServerMIMEStreamParser.hpp"

using namespace ombrelia;

// Points temporary files at a folder of this test's own, so that leftovers can be counted.
class MultiPartTest : public ::testing::Test {
protected:
  void SetUp() override {
    directory_ =
        std::filesystem::temp_directory_path() / ("multipart-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    ::setenv("TMPDIR", directory_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TMPDIR");
    std::filesystem::remove_all(directory_);
  }
  size_t temporaryFileCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory_),
                                             std::filesystem::directory_iterator()));
  }
  static std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  std::filesystem::path directory_;
  WebServerMIMEStreamParser::Arguments arguments_;
  WebServerMIMEStreamParser::Files files_;
};

namespace {

const std::string kForm = "preamble to ignore\r\n"
                          "--XyZ\r\n"
                          "Content-Disposition: form-data; name=\"first\"\r\n"
                          "\r\n"
                          "one\r\n"
                          "--XyZ\r\n"
                          "Content-Disposition: form-data; filename=\"a.txt\"; name=\"upload\"\r\n"
                          "Content-Type: Text/Plain\r\n"
                          "\r\n"
                          "file line 1\r\nfile --XyZnot a delimiter\r\n\r\n"
                          "--XyZ  \r\n"
                          "content-disposition: form-data; name=\"second\"\r\n"
                          "Content-Type: text/plain; charset=iso-8859-1\r\n"
                          "\r\n"
                          "caf\xe9\r\n"
                          "--XyZ--\r\n"
                          "epilogue";

}  // namespace

TEST_F(MultiPartTest, ParsesTwoFieldsAndAFileInBodyOrder) {
  auto parser = WebServerMIMEStreamParser::create("XyZ", std::nullopt, arguments_, files_);
  ASSERT_TRUE(parser);
  ASSERT_TRUE(parser->appendBytes(kForm));
  EXPECT_TRUE(parser->isAtEnd());
  ASSERT_EQ(arguments_.size(), 2u);
  EXPECT_EQ(arguments_[0]->controlName(), "first");
  EXPECT_EQ(arguments_[0]->contentType(), "text/plain");
  EXPECT_EQ(arguments_[0]->string(), "one");
  EXPECT_EQ(arguments_[1]->controlName(), "second");
  EXPECT_EQ(arguments_[1]->mimeType(), "text/plain");
  EXPECT_EQ(arguments_[1]->string(), "caf\xc3\xa9");
  ASSERT_EQ(files_.size(), 1u);
  EXPECT_EQ(files_[0]->controlName(), "upload");
  EXPECT_EQ(files_[0]->fileName(), "a.txt");
  EXPECT_EQ(files_[0]->contentType(), "text/plain");
  EXPECT_EQ(contents(files_[0]->temporaryPath()), "file line 1\r\nfile --XyZnot a delimiter\r\n");
  struct stat info {};
  ASSERT_EQ(::stat(files_[0]->temporaryPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string path = files_[0]->temporaryPath();
  files_.clear();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(MultiPartTest, RecognisesADelimiterSplitAtEveryOffset) {
  for (size_t split = 0; split <= kForm.size(); ++split) {
    WebServerMIMEStreamParser::Arguments arguments;
    WebServerMIMEStreamParser::Files files;
    auto parser = WebServerMIMEStreamParser::create("XyZ", std::nullopt, arguments, files);
    ASSERT_TRUE(parser->appendBytes(std::string_view(kForm).substr(0, split))) << split;
    ASSERT_TRUE(parser->appendBytes(std::string_view(kForm).substr(split))) << split;
    ASSERT_TRUE(parser->isAtEnd()) << split;
    ASSERT_EQ(arguments.size(), 2u) << split;
    EXPECT_EQ(arguments[0]->string(), "one") << split;
    ASSERT_EQ(files.size(), 1u) << split;
    EXPECT_EQ(contents(files[0]->temporaryPath()), "file line 1\r\nfile --XyZnot a delimiter\r\n")
        << split;
  }
}

TEST_F(MultiPartTest, RefusesAPartWithoutANameAndBadHeaders) {
  auto noName = WebServerMIMEStreamParser::create("b", std::nullopt, arguments_, files_);
  EXPECT_FALSE(noName->appendBytes("--b\r\nContent-Disposition: form-data; filename=\"x\"\r\n\r\n"
                                   "data\r\n--b--\r\n"));
  auto notUtf8 = WebServerMIMEStreamParser::create("b", std::nullopt, arguments_, files_);
  EXPECT_FALSE(
      notUtf8->appendBytes("--b\r\nContent-Disposition: form-data; name=\"\xff\"\r\n\r\n"));
  auto endless = WebServerMIMEStreamParser::create("b", std::nullopt, arguments_, files_);
  EXPECT_FALSE(endless->appendBytes(
      "--b\r\nX: " + std::string(WebServerMIMEStreamParser::kMaxPartHeaderBytes, 'h')));
  auto huge = WebServerMIMEStreamParser::create("b", std::nullopt, arguments_, files_);
  EXPECT_FALSE(
      huge->appendBytes("--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" +
                        std::string(WebServerMIMEStreamParser::kMaxArgumentBytes + 10, 'v')));
  EXPECT_FALSE(WebServerMIMEStreamParser::create("", std::nullopt, arguments_, files_));
  EXPECT_TRUE(arguments_.empty());
  EXPECT_EQ(temporaryFileCount(), 0u);
}

TEST_F(MultiPartTest, LeavesNoTemporaryFileBehindATruncatedBody) {
  {
    auto parser = WebServerMIMEStreamParser::create("b", std::nullopt, arguments_, files_);
    ASSERT_TRUE(parser->appendBytes("--b\r\nContent-Disposition: form-data; name=\"f\"; "
                                    "filename=\"big.bin\"\r\n\r\n" +
                                    std::string(100000, 'x')));
    EXPECT_FALSE(parser->isAtEnd());
    EXPECT_EQ(temporaryFileCount(), 1u);
  }
  EXPECT_EQ(temporaryFileCount(), 0u);
  EXPECT_TRUE(files_.empty());
}

// A whole upload through the request is in the server tests; here, what each step reports.
