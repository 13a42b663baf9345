#pragma once

#include <libxml/tree.h>

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Errors/Error.h"
#include "Values/Object.h"
#include "Values/Value.h"

class DQXMLDocument;
class DQXMLElement;
class DQXMLNode;
using DQXMLNodePtr = std::shared_ptr<DQXMLNode>;

// One libxml2 node record seen as an object. The tree lives in libxml2's
// records; wrappers are made on demand and cached in the record's `_private`
// slot, so one record has at most one wrapper and looking a record up again
// yields the same object without allocating.
//
// Ownership. Wrappers are platform objects owned through std::shared_ptr, so
// they can sit in values, arrays and error user info. The slot holds the
// wrapper's address with a tag in the low bit:
//   - clear (strong): the record holds one reference on its wrapper. Records
//     inside a tree keep their wrappers alive this way.
//   - set (weak): the wrapper owns the record (a free-standing subtree or a
//     document) and frees it when it is destroyed.
// A raw slot cannot hold a shared_ptr, so the record's one reference is kept
// in the wrapper itself: `recordReference_`, a shared_ptr to itself that
// exists exactly while the tag says strong, set and dropped by the same code
// that swaps the slot. The count behind it is make_shared's, in the wrapper's
// own allocation: an intrusive count in effect, with no second count beside
// std::shared_ptr's to keep in step.
// Before libxml2 frees records, their wrappers let go of them: the slot is
// cleared and the wrapper becomes an empty shell (no record; names, values
// and children are empty), so a wrapper never points into freed memory.
//
// Threads: a document and all wrappers of its records are used by one thread
// at a time; there is no lock. Only the slot itself is updated atomically.
class DQXMLNode : public platform::Object {
 public:
  // Wrappers are made only by the factories of this family (nodeWithImpl,
  // elementWithName, the document parser), which hand a Passkey to the
  // constructor. A subclass takes the key and passes it on.
  class Passkey {
    friend class DQXMLNode;
    Passkey() = default;
  };

  // A "class" of wrappers: makes an empty wrapper of one subclass.
  using Class = DQXMLNodePtr (*)(const Passkey&);
  template <std::derived_from<DQXMLNode> T>
  static Class classOf() {
    return +[](const Passkey& key) -> DQXMLNodePtr { return std::make_shared<T>(key); };
  }

  explicit DQXMLNode(const Passkey&) {}
  ~DQXMLNode() override;
  DQXMLNode(const DQXMLNode&) = delete;
  DQXMLNode& operator=(const DQXMLNode&) = delete;

  // --- platform::Object
  std::string className() const override;
  // Identity: the same record (hence the same wrapper). Shells compare by
  // identity only.
  bool isEqual(const Object& other) const override;
  // The hash of `name`.
  std::size_t hash() const override;
  // XMLString, or "(null)" for a shell.
  std::string description() const override;
  // A deep copy of the record in a new wrapper of the same class that owns
  // it; a copied node belongs to no document, a copied document is a new
  // document. nullptr for a shell or a record libxml2 cannot copy (DTD parts).
  std::shared_ptr<Object> copy() const override;

  // --- state
  xmlNodePtr impl() const { return impl_; }
  bool isDetached() const { return detached_; }
  // YES on an attached wrapper first turns its strong registration into a
  // weak one; then the flag is stored.
  void setDetached(bool detached);

  // --- names and values
  // "prefix:local" when the record has a namespace with a prefix, else the
  // local name; nullopt for a shell or a record without name.
  std::optional<std::string> name() const;
  // Renames an element, attribute or processing instruction; an empty name
  // does nothing.
  void setName(std::string_view name);
  // The record's content (all descendant text for an element) with entity
  // and character references replaced once more; nullopt without content.
  std::optional<std::string> stringValue() const;
  // Sets the content (an element's children are replaced by one text node);
  // nullopt clears it. Wrappers of the replaced children become shells.
  void setStringValue(const std::optional<std::string>& value);
  // YES when stringValue is "y" or "true" in any letter case.
  bool boolValue() const;
  // The content's bytes with every "\xHH" escape turned into one byte;
  // nullopt without content.
  std::optional<platform::Data> dataValue() const;
  std::optional<std::string> localName() const;

  // --- tree
  // The document the record belongs to; nullptr when it belongs to none.
  std::shared_ptr<DQXMLDocument> rootDocument() const;
  // The parent's wrapper (the document for a root element).
  DQXMLNodePtr parent() const;
  // Child records of every kind. Entity references count as leaves.
  std::size_t childCount() const;
  // Wrappers of all children in order; empty when there are none.
  std::vector<DQXMLNodePtr> children() const;
  // nullptr when `index` is not below childCount.
  DQXMLNodePtr childAtIndex(std::size_t index) const;
  // libxml2's path of the record within its tree ("/a/b[2]/@c").
  std::optional<std::string> XPath() const;

  // Takes the record out of its tree and replaces it by a free-standing deep
  // copy that this wrapper owns, keeping the wrapper's identity. Wrappers of
  // the old descendants become shells. Does nothing for a shell or for
  // records libxml2 cannot copy (documents, DTD parts).
  virtual void detach();
  // Takes the record out of its tree and frees it; this wrapper and those of
  // its descendants become shells. Does nothing on a detached wrapper.
  virtual void remove();

  // --- serialisation and queries
  // The record serialised with indentation (a document with its XML
  // declaration); nullopt for a shell or output that is not UTF-8.
  std::optional<std::string> XMLString() const;
  // The nodes an XPath expression selects, relative to this record, with the
  // namespaces declared on the document's root element. Empty when the
  // result is not a node set or is empty, and when the node belongs to no
  // document or the document has no XPath context (both logged, *error left
  // alone). A failed evaluation also stores the XML error in *error.
  // Namespace nodes of the result are left out: they are not records.
  std::vector<DQXMLNodePtr> nodesForXPath(std::string_view expression, platform::ErrorPtr* error) const;
  DQXMLNodePtr nodeForXPath(std::string_view expression) const;

  // Appends a detached, free-standing node's record as the last child, after
  // which the tree owns it. Refused (and logged): a node still in a tree,
  // a document, a node that is this record or one of its ancestors, a parent
  // that is not an element or document, an attribute under a document. An
  // attribute replaces one of the same name, whose wrapper becomes a shell;
  // a text node merged into a neighbouring text node leaves a shell.
  void addChild(const DQXMLNodePtr& node);

  // --- class operations
  // The class to wrap `record` with: DQXMLDocument for a document record;
  // else the class the record's document names for its qualified name, if
  // any; else DQXMLElement for elements and DQXMLNode for the rest.
  static Class classForNode(xmlNodePtr record);
  // The registered wrapper of `record`, or a new one registered strongly.
  // nullptr for a null record and for namespace nodes (not records).
  static DQXMLNodePtr nodeWithImpl(xmlNodePtr record);
  // A new free-standing element without namespace, owned by its wrapper;
  // nullptr for an empty name.
  static std::shared_ptr<DQXMLElement> elementWithName(std::string_view name,
                                                       const std::optional<std::string>& stringValue = std::nullopt);
  // The part of a qualified name before the first ":", nullopt without one.
  static std::optional<std::string_view> prefixForName(std::string_view name);
  // The part after the first ":", the whole name without one.
  static std::string_view localNameForName(std::string_view name);

 protected:
  void setImpl(xmlNodePtr impl) { impl_ = impl; }
  // Wraps a record nobody wrapped yet in a new wrapper of `cls`, registered
  // strongly.
  static DQXMLNodePtr wrap(xmlNodePtr record, Class cls);
  // stringValue of a record, wrapped or not.
  static std::optional<std::string> stringValueOfRecord(xmlNodePtr record);
  // The serialised bytes behind XMLString, checked to be UTF-8.
  std::optional<platform::Data> serialisedBytes() const;

 private:
  friend void com_zarn_NEXAKit_TolvekDQXMLNodeRegisterWrapper(xmlNodePtr record, DQXMLNode* wrapper);
  friend void com_zarn_NEXAKit_TolvekDQXMLNodeDeregisterWrapper(xmlNodePtr record);
  friend void DQXMLForgetWrapper(xmlNodePtr record);

  xmlNodePtr impl_ = nullptr;
  bool detached_ = false;
  Class class_ = nullptr;
  // The record's reference on this wrapper while the slot registers it
  // strongly; empty otherwise.
  DQXMLNodePtr recordReference_;
};
