#pragma once
// Built by one connection's parser, then read by its handler: never used from two threads at
// once.

#include <memory>
#include <optional>
#include <string>

#include <ombrelia/Data.hpp>

namespace ombrelia {

// One part of a "multipart/form-data" body.
class WebServerMultiPart {
public:
  WebServerMultiPart(std::string controlName, std::string contentType);
  virtual ~WebServerMultiPart() = default;

  const std::string &controlName() const { return controlName_; }
  const std::string &contentType() const { return contentType_; }
  // The content type without its parameters.
  const std::string &mimeType() const { return mimeType_; }
  virtual std::string description() const = 0;

private:
  std::string controlName_;
  std::string contentType_;
  std::string mimeType_;
};

// A form field, held in memory.
class WebServerMultiPartArgument : public WebServerMultiPart {
public:
  WebServerMultiPartArgument(std::string controlName, std::string contentType, Data data);

  const Data &data() const { return data_; }
  // The value as UTF-8 text for a "text/" type, decoded with its charset; absent otherwise.
  const std::optional<std::string> &string() const { return string_; }
  std::string description() const override;

private:
  Data data_;
  std::optional<std::string> string_;
};

// An uploaded file, in a temporary file that is deleted with this object (a handler that keeps
// it moves it away first).
class WebServerMultiPartFile : public WebServerMultiPart {
public:
  WebServerMultiPartFile(std::string controlName, std::string contentType, std::string fileName,
                         std::string temporaryPath);
  ~WebServerMultiPartFile() override;
  WebServerMultiPartFile(const WebServerMultiPartFile &) = delete;
  WebServerMultiPartFile &operator=(const WebServerMultiPartFile &) = delete;

  const std::string &fileName() const { return fileName_; }
  const std::string &temporaryPath() const { return temporaryPath_; }
  std::string description() const override;

private:
  std::string fileName_;
  std::string temporaryPath_;
};

} // namespace ombrelia
