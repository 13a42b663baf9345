#pragma once

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <optional>
#include <string>
#include <string_view>

#include "Errors/Error.h"

class DQXMLNode;

// The functions that connect libxml2's records with their wrappers. All of
// them run on the thread that uses the document.

// The error domain of XML documents.
inline constexpr const char* kDQXMLErrorDomain = "com.zarn.NEXAKit.connect.xml";

// The record's content as libxml2 gives it (all descendant text for an
// element, the value for text and attributes); nullopt for a null record or
// no content.
std::optional<std::string> com_zarn_NEXAKit_TolvekDQXMLNodeGetStringValue(xmlNodePtr record);
// Sets the content with libxml2's set-content (for an element or attribute:
// references in `content` are parsed and the children replaced, after their
// wrappers let go of them; other records copy it verbatim). nullptr clears
// it. Nothing for a null record, an entity reference (whose children
// belong to the entity) or a record that takes no content (documents, DTD
// parts).
void com_zarn_NEXAKit_TolvekDQXMLNodeSetStringValue(xmlNodePtr record, const char* content);
// "prefix:local" when the record is an element or attribute whose namespace
// has a prefix, else the name; nullopt for a null record or no name.
std::optional<std::string> com_zarn_NEXAKit_TolvekDQXMLNodeGetQName(xmlNodePtr record);
// libxml2's set-name for elements, attributes and processing instructions,
// when `name` is not empty.
void com_zarn_NEXAKit_TolvekDQXMLNodeSetQName(xmlNodePtr record, std::string_view name);

// The write callback of the serialiser; `context` is a platform::Data that
// collects the bytes. Returns `length`, or 0 (appending nothing) without a
// context or for a length that is not positive. Called synchronously on the
// serialising thread.
int com_zarn_NEXAKit_TolvekDQXMLOutputWrite(void* context, const char* bytes, int length);

// The thread's last libxml2 error as an error of the XML domain (code,
// NSLocalizedDescription, "severity", and "node" when libxml2 names one of
// `liveDocument`'s records); nullptr when libxml2 has none. "node" is never
// set without a live document: after a failed parse the records are gone.
platform::ErrorPtr com_zarn_NEXAKit_TolvekDQXMLGetError(const xmlDoc* liveDocument = nullptr);
// The same for a given libxml2 error record.
platform::ErrorPtr DQXMLErrorFromLibxml(const xmlError* error, const xmlDoc* liveDocument);

// The wrapper in a record's slot, strong or weak; nullptr for a null record
// or an empty slot.
DQXMLNode* com_zarn_NEXAKit_TolvekDQXMLGetNodeWrapper(xmlNodePtr record);
DQXMLNode* com_zarn_NEXAKit_TolvekDQXMLGetDocumentWrapper(xmlDocPtr record);
// Registers `wrapper` strongly: the record takes one reference on it and
// releases a previous strong wrapper. Nothing when it is already so.
void com_zarn_NEXAKit_TolvekDQXMLNodeRegisterWrapper(xmlNodePtr record, DQXMLNode* wrapper);
// Turns a strong registration into a weak one, releasing the record's
// reference; a weak or empty slot is left alone.
void com_zarn_NEXAKit_TolvekDQXMLNodeDeregisterWrapper(xmlNodePtr record);
// For records that are about to be freed: every record of the sibling list
// starting at `first`, with all their descendants, their attributes and the
// attributes' children, loses its wrapper, which becomes a shell.
void com_zarn_NEXAKit_TolvekDQXMLDeregisterChildrenWrappers(xmlNodePtr first);
// The same for everything below `record` (children and attributes), not the
// record itself.
void DQXMLDeregisterDescendantWrappers(xmlNodePtr record);
// For one record that is about to be freed: its wrapper, strong or weak,
// loses it and becomes a shell; the slot is cleared.
void DQXMLForgetWrapper(xmlNodePtr record);
// Clears the record's slot when it names `wrapper` (strongly or weakly),
// without touching the wrapper.
void DQXMLClearWrapper(xmlNodePtr record, const DQXMLNode* wrapper);
// Moves the slot's value from one record to another (whose slot was empty).
void DQXMLMoveWrapper(xmlNodePtr from, xmlNodePtr to);

// YES when the record has attributes.
bool com_zarn_NEXAKit_TolvekDQXMLNodeHasAttributes(xmlNodePtr record);
// YES when some child element has children or attributes of its own.
bool com_zarn_NEXAKit_TolvekDQXMLNodeHasChildElements(xmlNodePtr record);

// The first child as this library walks trees: entity references are
// leaves (their children are the entity's declaration, not theirs).
inline xmlNodePtr DQXMLFirstChild(xmlNodePtr record) {
  return record->type == XML_ENTITY_REF_NODE ? nullptr : record->children;
}

// Records that can be taken out of a tree, freed or copied on their own:
// elements, attributes, text, CDATA, entity references, processing
// instructions and comments (not documents, DTDs or declarations).
bool DQXMLIsTreeRecord(const xmlNode* record);

// A deep copy of a tree record that belongs to no document, as copy and
// detach hand out; nullptr for other records or when libxml2 fails.
xmlNodePtr DQXMLCopyTreeRecord(xmlNodePtr record);
