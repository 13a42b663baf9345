#pragma once

#include <memory>
#include <optional>

#include "DQNEXAResultClass.h"
#include "DQXMLDocument.h"
#include "Errors/Error.h"
#include "Values/Dictionary.h"

// A parsed response body together with the response's header fields. A body
// that is no XML still makes a postcard, without a document. Used by one
// thread at a time.
class DQPostcardDocument : public platform::Object, public IDQNEXAHeaderReceiver {
 public:
  // nullptr without error for no data; otherwise a postcard, with the parse
  // error in *error when the body is no XML.
  static std::shared_ptr<DQPostcardDocument> documentWithData(const platform::Data* data, platform::ErrorPtr* error);
  DQPostcardDocument(const platform::Data& data, platform::ErrorPtr* error);

  const std::shared_ptr<DQXMLDocument>& XMLDocument() const { return XMLDocument_; }
  const std::optional<platform::Dictionary>& header() const { return header_; }
  void setHeader(const std::optional<platform::Dictionary>& header) override { header_ = header; }

  std::string className() const override { return "com.zarn.NEXAKit.Tolvek.DQPostcardDocument"; }
  // A postcard of a copy of the document with the same header; nullptr
  // without a document.
  std::shared_ptr<Object> copy() const override;

 private:
  std::shared_ptr<DQXMLDocument> XMLDocument_;
  std::optional<platform::Dictionary> header_;
};
