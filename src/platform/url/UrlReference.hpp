#pragma once
// Any thread: a value type; reading is const.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <ombrelia/Url.hpp>

#include "platform/Expected.hpp"
#include "platform/url/UrlParser.hpp"
#include "platform/url/UrlRecord.hpp"

namespace ombrelia {

// A URI as a playlist writes it (a URI line or a URI attribute), read the way players read it:
// through the URL parser of browsers and Node.js (UrlParser), against the playlist's
// own URL. Otherwise the player fetches what we read differently, or left unrewritten, from
// somewhere we did not mean. The proxy and the segment store read through this one class, so
// both name a segment by the same URL.
//
// The base is read once. A reference costs in proportion to its own length: a relative one
// under a long playlist URL (a token in the path, a redirect to a long URL) takes what it needs
// of the base without copying it, until its whole URL is asked for.
class UrlReference {
 public:
  using Refusal = UrlParser::Refusal;

  // A reference read against the base: what it writes itself and what it takes of the base.
  // It points into its UrlReference, which must outlive it.
  class Resolution {
   public:
    const UrlRecord& own() const { return reading_.own; }
    const UrlParser::Inherited& inherited() const { return reading_.inherited; }
    // The whole URL, as resolve() gives it: it takes as long to build as it is long.
    Url url() const;
    // Its scheme, user name, password, host and port, with an empty path: all of it that
    // says where it goes and with which credentials.
    Url origin() const;

    // What the store compares URLs by: the text Url::normalizedString() gives of the URL
    // without its user name and password, as the first `kept` bytes of the base's text
    // (baseText()) followed by `tail`. The tail is as long as the reference's own part.
    struct Key {
      size_t kept = 0;
      std::string tail;
    };
    Key key() const;

   private:
    friend class UrlReference;
    Resolution(const UrlReference& base, UrlParser::Reading reading)
        : base_(&base), reading_(std::move(reading)) {}
    const UrlReference* base_;
    UrlParser::Reading reading_;
  };

  // References are read against `base`, the playlist's own URL, itself read as a player reads
  // it. A base the standard refuses leaves only absolute references readable.
  explicit UrlReference(const Url& base);

  // The absolute http(s) URL the reference names, every component as a browser writes it.
  Expected<Url, Refusal> resolve(std::string_view written) const;
  // The same, without building the URL.
  Expected<Resolution, Refusal> resolution(std::string_view written) const;
  // An absolute http(s) URL read on its own, with no base (an origin URL, a redirect's target).
  static Expected<Url, Refusal> read(std::string_view written);

  // The base as its keys write it: Url::normalizedString() of it without user name and
  // password. Keys made against a base given in that form point into it; against another base,
  // every key is a tail of its own (kept 0).
  const std::string& baseText() const { return baseText_; }
  // The base as the parser wrote it; null when the standard refuses it.
  const UrlRecord* baseRecord() const { return base_ ? &base_->url : nullptr; }
  // The base's scheme, user name, password, host and port, with the path "/"; absent when the
  // standard refuses the base.
  std::optional<Url> baseOrigin() const;

  // What it holds, in bytes: about three times its base's length.
  size_t bytes() const;

  // The text without the spaces and controls around it.
  static std::string_view trimmed(std::string_view text);

 private:
  std::optional<UrlParser::Base> base_;
  std::string baseText_;
  // Whether baseText_ is the base's own text as the parser wrote it, so keys may point into it.
  bool keysPointIntoBase_ = false;
  size_t originLength_ = 0;
};

}  // namespace ombrelia
