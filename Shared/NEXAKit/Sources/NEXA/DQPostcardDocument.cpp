#include "DQPostcardDocument.h"

using namespace platform;

std::shared_ptr<DQPostcardDocument> DQPostcardDocument::documentWithData(const Data* data, ErrorPtr* error) {
  if (!data) return nullptr;
  return std::make_shared<DQPostcardDocument>(*data, error);
}

DQPostcardDocument::DQPostcardDocument(const Data& data, ErrorPtr* error)
    : XMLDocument_(DQXMLDocument::documentWithData(data, error)) {}

std::shared_ptr<Object> DQPostcardDocument::copy() const {
  if (!XMLDocument_) return nullptr;
  auto document = std::dynamic_pointer_cast<DQXMLDocument>(XMLDocument_->copy());
  const auto bytes = document ? document->XMLData() : std::nullopt;
  if (!bytes) return nullptr;
  auto postcard = std::make_shared<DQPostcardDocument>(*bytes, nullptr);
  postcard->setHeader(header_);
  return postcard;
}
