#include "DQNEXAResultClass.h"

#include "DQPostcardDocument.h"

using namespace platform;

DQNEXAResultClass DQNEXAResultClass::XMLDocument() {
  return XMLDocumentClass<DQXMLDocument>(std::string(kClassPrefix) + "DQXMLDocument");
}

DQNEXAResultClass DQNEXAResultClass::postcardDocument() {
  return {std::string(kClassPrefix) + "DQPostcardDocument", [](const Data* data, ErrorPtr* error) -> ObjectPtr {
            return DQPostcardDocument::documentWithData(data, error);
          }};
}
