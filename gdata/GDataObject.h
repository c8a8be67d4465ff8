#pragma once
// GDataObject: the base of every element object of the GData model, with its extension
// declarations, parsing from XML and generating back, copy and equality. Which class an entry,
// feed or service element becomes is GDataClassRegistry's business.
//
// A class declares which child elements (extensions), attributes, text content and kept child
// XML it understands; parsing turns those into typed state and keeps everything else as
// unparsed XML nodes, which generation writes back, so an entry goes back to the server whole.

#include <any>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gdata/GDataAttributeBlock.h"
#include "gdata/GDataCompactText.h"
#include "gdata/GDataDateTime.h"
#include "gdata/GDataXMLDocument.h"
#include "gdata/GDataXMLElement.h"
#include "gdata/GDataXMLNode.h"
#include "platform/foundation/ClassInfo.h"
#include "platform/foundation/SmallVector.h"

namespace quorvane::platform {
class InputStream;
}

namespace quorvane {

class GDataExtension;
class GDataObject;
class GDataAttribute;
class GDataXMLWriter;

inline constexpr const char* kGDataNamespaceAtom = "http://www.w3.org/2005/Atom";
inline constexpr const char* kGDataNamespaceAtomPrefix = "atom";
inline constexpr const char* kGDataNamespaceGData = "http://schemas.google.com/g/2005";
inline constexpr const char* kGDataNamespaceGDataPrefix = "gd";
inline constexpr const char* kGDataCategoryScheme = "http://schemas.google.com/g/2005#kind";

using GDataExtensionPtr = std::shared_ptr<GDataExtension>;

// Numbers read the platform's way: white space skipped, an optional sign, saturating; 0 when the
// text does not begin with an integer.
int64_t gdataLeadingInt64(std::string_view text);
int32_t gdataLeadingInt32(std::string_view text);
// The canonical decimal text of the decimal number at the start of the text ("en_US" form:
// "." separator, no grouping, no exponent, no superfluous zeros); "NaN" when there is none.
std::string gdataDecimalText(std::string_view text);
using GDataObjectPtr = std::shared_ptr<GDataObject>;
using GDataXMLNodePtr = std::shared_ptr<GDataXMLNode>;
using GDataXMLElementPtr = std::shared_ptr<GDataXMLElement>;

// The class record of a GData element or attribute class. Extension classes name the element
// (or attribute) they stand for; others leave those null.
struct GDataClassInfo : platform::ClassInfo {
    GDataExtensionPtr (*factory)();   // a new initialised instance
    GDataExtensionPtr (*allocate)();  // a new instance not yet initialised (for parsing)
    const char* extensionURI;        // nullptr (or the Atom URI) for Atom elements
    const char* extensionPrefix;
    const char* extensionLocalName;  // nullptr when the class is not an extension
    // The qualified name, computed once (see GDataObject::qualifiedNameForExtensionClass).
    mutable std::atomic<const std::string*> qualifiedName{nullptr};
    // The local attribute declarations of the class, made once by its first object (see
    // GDataObject::attributeDeclarations); kept for the life of the process.
    mutable std::atomic<const std::vector<std::string>*> attributeDeclarations{nullptr};

    const GDataClassInfo* superInfo() const { return static_cast<const GDataClassInfo*>(superclass); }
    bool isExtension() const { return extensionLocalName != nullptr; }
    GDataExtensionPtr make() const { return factory ? factory() : nullptr; }
};

// What every extension value (element object or attribute) is.
class GDataExtension : public std::enable_shared_from_this<GDataExtension> {
public:
    virtual ~GDataExtension() = default;
    static const GDataClassInfo& staticClassInfo();
    virtual const GDataClassInfo& classInfo() const = 0;
    virtual bool isEqual(const GDataExtension& other) const = 0;
    virtual GDataExtensionPtr copy() const = 0;
    virtual std::string description() const = 0;
    // For the class's record: a new instance, two-phase initialised.
    virtual void init() {}
};

// Declares the class record accessors of a GData class. Put in the public part of the class.
#define QV_GDATA_CLASS(Cls)                                                                   \
public:                                                                                       \
    static const ::quorvane::GDataClassInfo& staticClassInfo();                               \
    const ::quorvane::GDataClassInfo& classInfo() const override { return staticClassInfo(); } \
    static std::shared_ptr<Cls> object() {                                                    \
        auto o = std::make_shared<Cls>();                                                     \
        o->init();                                                                            \
        return o;                                                                             \
    }

// Defines the class record: name, superclass and, for extensions, URI, prefix and local name
// (nullptr for those that are not extensions).
#define QV_GDATA_DEFINE_CLASS(Cls, Super, uri, prefix, localName)                                   \
    const ::quorvane::GDataClassInfo& Cls::staticClassInfo() {                                      \
        static const ::quorvane::GDataClassInfo info{                                               \
            {#Cls, &Super::staticClassInfo()},                                                      \
            []() -> ::quorvane::GDataExtensionPtr { return Cls::object(); },                        \
            []() -> ::quorvane::GDataExtensionPtr { return std::make_shared<Cls>(); }, uri, prefix, localName}; \
        return info;                                                                                \
    }

// One declaration: objects of the parent class may contain elements (or attributes) of the
// child class.
class GDataExtensionDeclaration {
public:
    GDataExtensionDeclaration(const GDataClassInfo* parentClass, const GDataClassInfo* childClass, bool isAttribute)
        : parentClass_(parentClass), childClass_(childClass), isAttribute_(isAttribute) {}
    const GDataClassInfo* parentClass() const { return parentClass_; }
    const GDataClassInfo* childClass() const { return childClass_; }
    bool isAttribute() const { return isAttribute_; }
    bool operator==(const GDataExtensionDeclaration& o) const {
        return parentClass_ == o.parentClass_ && childClass_ == o.childClass_ && isAttribute_ == o.isAttribute_;
    }
    std::string description() const;

private:
    const GDataClassInfo* parentClass_;
    const GDataClassInfo* childClass_;
    bool isAttribute_;
};

// The value object of an attribute extension; subclasses name their attribute.
class GDataAttribute : public GDataExtension {
    QV_GDATA_CLASS(GDataAttribute)
public:
    static std::shared_ptr<GDataAttribute> attributeWithValue(const GDataClassInfo& cls,
                                                              std::optional<std::string> value);
    const std::optional<std::string>& stringValue() const { return value_; }
    void setStringValue(std::optional<std::string> v) { value_ = std::move(v); }
    // Any attribute object (of any subclass) with an equal value.
    bool isEqual(const GDataExtension& other) const override;
    GDataExtensionPtr copy() const override;
    std::string description() const override;

private:
    std::optional<std::string> value_;
};

// Ordered string-to-string dictionary (namespaces, attributes, headers): insertion order is kept.
using GDataStringDictionary = std::vector<std::pair<std::string, std::string>>;
using GDataHeaderList = GDataStringDictionary;

// Shared per parsed tree: declaring class -> (parent class -> declarations, in order), and, for
// the parse, the declarations an object reads, gathered once per chain of classes (the object's
// and its parents') instead of once per object.
class GDataExtensionDeclarationCache {
public:
    using Declarations = std::vector<GDataExtensionDeclaration>;
    GDataExtensionDeclarationCache();
    // A copy has the declarations; what the parse gathered is made again.
    GDataExtensionDeclarationCache(const GDataExtensionDeclarationCache& other);
    GDataExtensionDeclarationCache& operator=(const GDataExtensionDeclarationCache&) = delete;
    ~GDataExtensionDeclarationCache();

    bool hasDeclarationsOf(const GDataClassInfo& declaringClass) const { return byClass_.count(&declaringClass) != 0; }
    // The declarations `declaringClass` made for objects of `parentClass`; nullptr when none.
    const Declarations* declarations(const GDataClassInfo& declaringClass, const GDataClassInfo& parentClass) const;
    void add(const GDataClassInfo& declaringClass, const GDataExtensionDeclaration& declaration);
    void remove(const GDataClassInfo& declaringClass, const GDataExtensionDeclaration& declaration);

    // What the parse reads (see GDataObject.cpp).
    struct Chain;
    const Chain* chain(const GDataClassInfo& cls, const Chain* up);
    struct Gathered;
    const Gathered& gathered(const Chain& chain);

private:
    std::map<const GDataClassInfo*, std::map<const GDataClassInfo*, Declarations>> byClass_;
    uint64_t version_ = 0;  // changed by every add and remove: what was gathered before is read again
    struct Chains;
    std::unique_ptr<Chains> chains_;
};
// Shared per parsed tree: class -> its local attribute names and markers.
using GDataAttributeDeclarationCache = std::map<const GDataClassInfo*, std::shared_ptr<std::vector<std::string>>>;
using GDataSurrogates = std::map<const GDataClassInfo*, const GDataClassInfo*>;

// A list that most objects leave empty (namespaces, kept XML): one pointer until something is
// added, read as the list itself (an empty one when there is none).
template <class List>
class GDataRareList {
public:
    GDataRareList() = default;
    GDataRareList(const GDataRareList& other) { *this = other; }
    GDataRareList(GDataRareList&&) noexcept = default;
    GDataRareList& operator=(const GDataRareList& other) {
        if (this != &other) list_ = other.empty() ? nullptr : std::make_unique<List>(*other.list_);
        return *this;
    }
    GDataRareList& operator=(GDataRareList&&) noexcept = default;
    GDataRareList& operator=(List list) {
        list_ = list.empty() ? nullptr : std::make_unique<List>(std::move(list));
        return *this;
    }

    const List& get() const {
        static const List& none = *new List();  // never destroyed: read by any thread until exit
        return list_ ? *list_ : none;
    }
    operator const List&() const { return get(); }
    // The list to change, made when there is none.
    List& edit() {
        if (!list_) list_ = std::make_unique<List>();
        return *list_;
    }

    auto begin() const { return get().begin(); }
    auto end() const { return get().end(); }
    size_t size() const { return list_ ? list_->size() : 0; }
    bool empty() const { return !list_ || list_->empty(); }
    const auto& operator[](size_t i) const { return (*list_)[i]; }
    void push_back(typename List::value_type v) { edit().push_back(std::move(v)); }
    void clear() { list_.reset(); }

private:
    std::unique_ptr<List> list_;
};

// A kind map: key string to class (entries and feeds keep one each).
using GDataKindMap = std::map<std::string, const GDataClassInfo*>;

// One description record for itemsForDescription: label, value reader and report kind.
struct GDataDescriptionRecord {
    enum Kind {
        kValue = 1,       // label with the value, when not nil
        kLabel = 2,       // the label alone, when the value is not nil
        kArrayCount = 3,  // label with the count, when above 0
        kArrayValues = 4, // label with the value, when its count is above 0
        kBool = 5,        // label with YES or NO
        kBoolIfTrue = 6,  // label with YES, only when true
        kStringLength = 7,// label with "#<length>", when not empty
        kLiteral = 8,     // label with the record's literal text
    };
    std::string label;
    Kind kind;
    // For kinds 1, 2, 4: the value's description (nullopt for nil); for 3, 4: the count;
    // for 5, 6: the bool; for 7: the string; for 8: unused (literal below).
    std::function<std::optional<std::string>()> value;
    std::function<size_t()> count;
    std::function<bool()> flag;
    std::string literal;
};

class GDataObject : public GDataExtension {
    QV_GDATA_CLASS(GDataObject)
public:
    GDataObject() = default;
    ~GDataObject() override;

    // --- creation ---
    // Empty caches of its own, then addParseDeclarations.
    void init() override;
    void initWithServiceVersion(std::optional<std::string> serviceVersion);
    // Parses the element. Subclasses that parse children of their own override it and call the
    // inherited one first. Returns false when the object could not be made from the element.
    virtual bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent);
    // For the root of a response.
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent,
                            std::optional<std::string> serviceVersion, const GDataSurrogates* surrogates,
                            bool shouldIgnoreUnknowns);
    // Parses a document whose root becomes an object of `cls` (nullptr: the class the root names)
    // or of that class's surrogate, parsed as the root of a response (shouldFeedsIgnoreUnknowns
    // applies to a feed). While the document is read the object takes children of the root whole
    // (a feed its entries) and parses each at once, so their XML is freed before the next is read
    // and a large document is never held whole. nullptr when the document gives no object; the
    // parse error when it does not parse.
    static platform::Result<GDataObjectPtr> objectWithXMLData(const platform::Bytes& data, const GDataClassInfo* cls,
                                                              std::optional<std::string> serviceVersion,
                                                              const GDataSurrogates* surrogates,
                                                              bool shouldFeedsIgnoreUnknowns);
    // Makes an object of the class (or its surrogate) parsed from the element; nullptr when the
    // parse gives nothing.
    static GDataObjectPtr objectWithXMLElement(const GDataClassInfo& cls, const GDataXMLElementPtr& element,
                                               const GDataObjectPtr& parent);

    // --- declarations ---
    virtual void addExtensionDeclarations() {}
    virtual void addParseDeclarations() {}
    void addExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child);
    void addExtensionDeclarationForParentClass(const GDataClassInfo& parent,
                                               std::initializer_list<const GDataClassInfo*> children);
    void addAttributeExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child);
    void addExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child,
                                               bool isAttribute);
    void removeExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child);
    void removeAttributeExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child);
    const std::vector<GDataExtensionDeclaration>* extensionDeclarationsForParentClass(const GDataClassInfo& parent) const;

    void addLocalAttributeDeclarations(std::initializer_list<std::string_view> names);
    void addAttributeDeclarationMarker(std::string_view marker);
    void addContentValueDeclaration();
    // Declares the content value (or, false, the kept child XML) for this object alone, as
    // addContentValueDeclaration would on a list of its own; objects that do so from the same list
    // share one list with the marker added (a parsed entry content each).
    void declareContentMarkerForThisObject(bool contentValue);
    bool hasDeclaredContentValue() const;
    void addChildXMLElementsDeclaration();
    bool hasDeclaredChildXMLElements() const;

    std::shared_ptr<GDataExtensionDeclarationCache> extensionDeclarationsCache() const;
    std::shared_ptr<GDataAttributeDeclarationCache> attributeDeclarationsCache() const;
    void setExtensionDeclarationsCache(std::shared_ptr<GDataExtensionDeclarationCache> cache);
    void setAttributeDeclarationsCache(std::shared_ptr<GDataAttributeDeclarationCache> cache);
    void clearExtensionDeclarationsCache();
    const std::vector<std::string>* attributeDeclarations() const { return attributeDeclarations_; }
    void setAttributeDeclarations(std::optional<std::vector<std::string>> decls);

    // --- plain accessors ---
    const std::string& elementName() const { return classElementName_ ? *classElementName_ : ownElementName(); }
    void setElementName(std::string name) {
        classElementName_ = nullptr;
        setOwnElementName(std::move(name));
    }
    GDataObjectPtr parent() const { return parent_.lock(); }
    void setParent(const GDataObjectPtr& parent) { parent_ = parent; }
    const GDataStringDictionary& namespaces() const { return namespaces_; }
    void setNamespaces(GDataStringDictionary ns) { namespaces_ = std::move(ns); }
    // Merges; the given entries win.
    void addNamespaces(const GDataStringDictionary& ns);
    // The local attributes, in the order they were set.
    GDataStringDictionary attributes() const { return attributes_.toDictionary(); }
    void setAttributes(const GDataStringDictionary& a) { attributes_.assign(a); }
    const GDataXMLNodeList& unknownChildren() const {
        flushConsumed();
        return unparsed(false);
    }
    void setUnknownChildren(GDataXMLNodeList nodes) {
        flushConsumed();
        setUnparsed(false, std::move(nodes));
    }
    const GDataXMLNodeList& unknownAttributes() const {
        flushConsumed();
        return unparsed(true);
    }
    void setUnknownAttributes(GDataXMLNodeList nodes) {
        flushConsumed();
        setUnparsed(true, std::move(nodes));
    }
    bool shouldIgnoreUnknowns() const { return shouldIgnoreUnknowns_; }
    void setShouldIgnoreUnknowns(bool flag) { shouldIgnoreUnknowns_ = flag; }
    const GDataSurrogates& surrogates() const;
    void setSurrogates(GDataSurrogates s) { rare().surrogates = std::move(s); }
    const std::any& userData() const;
    void setUserData(std::any data) { rare().userData = std::move(data); }
    const std::map<std::string, std::any>& properties() const;
    void setProperties(std::map<std::string, std::any> p) { rare().userProperties = std::move(p); }
    // An empty std::any removes the key.
    void setProperty(const std::string& key, std::any value);
    std::any propertyForKey(const std::string& key) const;

    // --- namespaces over the tree ---
    GDataStringDictionary completeNamespaces() const;
    void pruneInheritedNamespaces();

    // --- extensions ---
    // nullopt when nothing is stored; the list (possibly empty) or a one-element list.
    std::optional<std::vector<GDataExtensionPtr>> objectsForExtensionClass(const GDataClassInfo& cls) const;
    GDataExtensionPtr objectForExtensionClass(const GDataClassInfo& cls) const;
    void setObject(const GDataExtensionPtr& object, const GDataClassInfo& cls);
    void setObjects(const std::optional<std::vector<GDataExtensionPtr>>& objects, const GDataClassInfo& cls);
    void addObject(const GDataExtensionPtr& object, const GDataClassInfo& cls);
    void removeObject(const GDataExtensionPtr& object, const GDataClassInfo& cls);
    std::optional<std::string> attributeValueForExtensionClass(const GDataClassInfo& cls) const;
    void setAttributeValue(std::optional<std::string> value, const GDataClassInfo& cls);
    static const std::string& qualifiedNameForExtensionClass(const GDataClassInfo& cls);
    static void ensureObjectHasXMLNameForExtensionClass(const GDataExtensionPtr& object, const GDataClassInfo& cls);
    // Whether any extension dictionary exists (even an empty one).
    bool hasExtensions() const { return hasExtensions_; }

    // Typed helpers over the extension accessors.
    template <class T>
    std::shared_ptr<T> objectForExtension() const {
        return std::dynamic_pointer_cast<T>(objectForExtensionClass(T::staticClassInfo()));
    }
    template <class T>
    std::vector<std::shared_ptr<T>> objectsForExtension() const {
        std::vector<std::shared_ptr<T>> out;
        if (auto s = slotFor(T::staticClassInfo())) {
            out.reserve(s->objects.size());
            for (auto& e : s->objects)
                if (auto t = std::dynamic_pointer_cast<T>(e)) out.push_back(std::move(t));
        }
        return out;
    }
    // The string or date-time of a value-construct extension of class T (nullopt when absent), and
    // the setters that store a new one (nil removes it).
    template <class T>
    std::optional<std::string> extensionStringValue() const {
        auto v = objectForExtension<T>();
        return v ? v->stringValue() : std::nullopt;
    }
    template <class T>
    void setExtensionStringValue(std::optional<std::string> s) {
        setObject(T::valueWithString(T::staticClassInfo(), std::move(s)), T::staticClassInfo());
    }
    template <class T>
    std::optional<GDataDateTime> extensionDateTimeValue() const {
        auto v = objectForExtension<T>();
        return v ? v->dateTimeValue() : std::nullopt;
    }
    template <class T>
    void setExtensionDateTimeValue(const std::optional<GDataDateTime>& d) {
        setObject(T::valueWithDateTime(T::staticClassInfo(), d), T::staticClassInfo());
    }
    // Attribute extensions: nil removes the attribute.
    void setAttributeExtensionValue(std::optional<std::string> value, const GDataClassInfo& cls) {
        if (!value) setObject(nullptr, cls);
        else setAttributeValue(std::move(value), cls);
    }
    // Objects of an extension class T read as, or stored from, a list of a base class B.
    template <class T, class B>
    std::vector<std::shared_ptr<B>> objectsForExtensionAs() const {
        std::vector<std::shared_ptr<B>> out;
        for (auto& o : objectsForExtension<T>()) out.push_back(o);
        return out;
    }
    template <class T, class B>
    void setObjectsForExtensionFrom(const std::optional<std::vector<std::shared_ptr<B>>>& v) {
        if (!v) setObjects(std::nullopt, T::staticClassInfo());
        else setObjects(std::vector<GDataExtensionPtr>(v->begin(), v->end()), T::staticClassInfo());
    }

    template <class T>
    void setObjectsForExtension(const std::optional<std::vector<std::shared_ptr<T>>>& objects) {
        if (!objects) {
            setObjects(std::nullopt, T::staticClassInfo());
            return;
        }
        std::vector<GDataExtensionPtr> list(objects->begin(), objects->end());
        setObjects(list, T::staticClassInfo());
    }

    // --- local attributes ---
    std::optional<std::string> stringValueForAttribute(std::string_view name) const;
    void setStringValue(std::optional<std::string> value, std::string_view attributeName);
    std::optional<int32_t> intNumberForAttribute(std::string_view name) const;
    std::optional<int64_t> longLongNumberForAttribute(std::string_view name) const;
    std::optional<double> doubleNumberForAttribute(std::string_view name) const;
    // Decimal numbers are kept as their canonical decimal text ("en_US" form).
    std::optional<std::string> decimalNumberForAttribute(std::string_view name) const;
    void setDecimalNumberValue(std::optional<std::string> decimalText, std::string_view name);
    std::optional<GDataDateTime> dateTimeForAttribute(std::string_view name) const;
    void setDateTimeValue(const std::optional<GDataDateTime>& dateTime, std::string_view name);
    bool boolValueForAttribute(std::string_view name, bool defaultValue) const;
    void setBoolValue(bool value, bool defaultValue, std::string_view name);
    void setExplicitBoolValue(bool value, std::string_view name);

    // --- content and kept child XML ---
    std::optional<std::string> contentStringValue() const;
    void setContentStringValue(std::optional<std::string> value);
    const GDataXMLElementList& childXMLElements() const { return childXMLElements_; }
    void setChildXMLElements(GDataXMLElementList elements) { childXMLElements_ = std::move(elements); }
    void addChildXMLElement(const GDataXMLElementPtr& element) { childXMLElements_.push_back(element); }

    // --- versions ---
    // The class's default service version (subclasses of service-specific kinds override).
    virtual std::optional<std::string> defaultServiceVersion() const { return std::nullopt; }
    std::optional<std::string> serviceVersion() const;
    void setServiceVersion(std::optional<std::string> v);
    bool isServiceVersionAtLeast(std::string_view version) const;
    bool isServiceVersionAtMost(std::string_view version) const;
    virtual std::optional<std::string> coreProtocolVersionForServiceVersion(const std::optional<std::string>& v) const {
        return v;
    }
    std::optional<std::string> coreProtocolVersion() const;
    void setCoreProtocolVersion(std::optional<std::string> v);
    bool isCoreProtocolVersion1() const;

    // --- generation ---
    virtual GDataXMLElementPtr XMLElement() const;
    GDataXMLElementPtr XMLElementWithExtensionsAndDefaultName(const std::optional<std::string>& defaultName) const;
    // The document of XMLElement(), made from the object when it is first read: an object held by
    // a shared_ptr is read then, so a change made between this call and the first read shows.
    std::shared_ptr<GDataXMLDocument> XMLDocument() const;
    // Writes the element XMLElement() builds straight through the writer, with no tree. A class
    // that overrides XMLElement() overrides this too, to write the same.
    virtual void writeXML(GDataXMLWriter& writer) const;
    // The bytes of XMLDocument() written that way; nullopt when the writer could not be sure of
    // giving the tree's bytes (see GDataXMLWriter), and the tree is needed.
    std::optional<platform::Bytes> writtenXMLData() const;

    // --- copy, equality, description ---
    GDataExtensionPtr copy() const override;
    // Copies this object's state into a fresh object of the same class (subclasses with fields of
    // their own override it and call the inherited one first).
    virtual void copyStateTo(GDataObject& target) const;
    bool isEqual(const GDataExtension& other) const override;
    // Attribute names left out of equality (nullopt: compare the whole attribute dictionaries).
    virtual std::optional<std::vector<std::string>> attributesIgnoredForEquality() const { return std::nullopt; }
    bool hasAttributesEqualToAttributesOf(const GDataObject& other) const;
    // Equal declarations, or each prefix either declares bound to the same namespace in both
    // scopes (a declaration repeating its parents' is the same document, written without it).
    bool namespacesEqual(const GDataObject& other) const;
    std::string description() const override;
    virtual std::vector<std::string> itemsForDescription() const;
    void addDescriptionRecords(const std::vector<GDataDescriptionRecord>& records,
                               std::vector<std::string>& items) const;
    std::optional<std::string> labelAdjustedForVersion(const std::string& label) const;

    // --- class choice and the kind registry (GDataClassRegistry keeps them) ---
    // The class for a child element of `caller` (nullptr: no enclosing object).
    static const GDataClassInfo* objectClassForXMLElement(const GDataObject* caller, const GDataXMLElementPtr& element);
    // Registration in and lookup from a kind map: the key is the term for the kind scheme (or no
    // scheme), else the scheme and term together; lookup tries the term alone, then the scheme
    // with the term, then the scheme with an empty term.
    static void registerClass(const GDataClassInfo& cls, GDataKindMap& map, const std::optional<std::string>& scheme,
                              const std::optional<std::string>& term);
    static const GDataClassInfo* classForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                           const std::optional<std::string>& term,
                                                           const GDataKindMap& map);

    // --- parse helpers for subclasses (those returning children or attributes mark them consumed) ---
    GDataObjectPtr objectForChildOfElement(const GDataXMLElementPtr& element, std::string_view qualifiedName,
                                           std::optional<std::string_view> namespaceURI, const GDataClassInfo* cls);
    // Parsed objects of every matching child, in document order.
    std::vector<GDataObjectPtr> objectsForChildrenOfElement(const GDataXMLElementPtr& element,
                                                            std::string_view qualifiedName,
                                                            std::optional<std::string_view> namespaceURI,
                                                            const GDataClassInfo* cls);
    GDataXMLElementPtr childWithQualifiedName(std::string_view qualifiedName,
                                              std::optional<std::string_view> namespaceURI,
                                              const GDataXMLElementPtr& element);
    static GDataXMLElementList elementsForName(std::string_view qualifiedName,
                                               std::optional<std::string_view> namespaceURI,
                                               const GDataXMLElementPtr& element);
    static GDataXMLElementList childrenOfElement(const GDataXMLElementPtr& element, std::string_view prefix);
    std::optional<std::string> stringValueFromElement(const GDataXMLElementPtr& element);
    std::optional<GDataDateTime> dateTimeFromElement(const GDataXMLElementPtr& element);
    std::optional<int32_t> intNumberValueFromElement(const GDataXMLElementPtr& element);
    std::optional<double> doubleNumberValueFromElement(const GDataXMLElementPtr& element);
    GDataXMLNodePtr attributeForName(std::string_view name, const GDataXMLElementPtr& element);
    GDataXMLNodePtr attributeForLocalName(std::string_view localName, std::string_view URI,
                                          const GDataXMLElementPtr& element);
    std::optional<std::string> stringForAttributeName(std::string_view name, const GDataXMLElementPtr& element);
    std::optional<std::string> stringForAttributeLocalName(std::string_view localName, std::string_view URI,
                                                           const GDataXMLElementPtr& element);
    std::optional<GDataDateTime> dateTimeForAttributeName(std::string_view name, const GDataXMLElementPtr& element);
    bool boolForAttributeName(std::string_view name, const GDataXMLElementPtr& element);
    std::optional<double> doubleNumberForAttributeName(std::string_view name, const GDataXMLElementPtr& element);
    std::optional<int32_t> intNumberForAttributeName(std::string_view name, const GDataXMLElementPtr& element);
    void handleParsedElement(const GDataXMLNodePtr& node);
    void handleParsedElements(const GDataXMLElementList& nodes);
    void handleParsedAttribute(const GDataXMLNodePtr& node);
    const GDataClassInfo& classOrSurrogateForClass(const GDataClassInfo& cls) const;
    static std::optional<GDataStringDictionary> dictionaryForElementNamespaces(const GDataXMLElementPtr& element);

    // --- generation helpers for subclasses ---
    static GDataXMLNodePtr addToElementAttributeValueIfNonNil(const GDataXMLElementPtr& element,
                                                              const std::optional<std::string>& value,
                                                              std::string_view name);
    static GDataXMLNodePtr addToElementAttributeValueIfNonNil(const GDataXMLElementPtr& element,
                                                              const std::optional<std::string>& value,
                                                              std::string_view qualifiedName,
                                                              std::optional<std::string_view> URI);
    static void addToElementAttributeValueWithInteger(const GDataXMLElementPtr& element, int64_t value,
                                                      std::string_view name);
    static GDataXMLElementPtr addToElementChildWithStringValueIfNonEmpty(const GDataXMLElementPtr& element,
                                                                         const std::optional<std::string>& value,
                                                                         std::string_view name);
    static void addToElementXMLElementForObject(const GDataXMLElementPtr& element, const GDataExtensionPtr& object);
    template <class T>
    static void addToElementXMLElementsForArray(const GDataXMLElementPtr& element,
                                                const std::vector<std::shared_ptr<T>>& objects) {
        for (const auto& o : objects) addToElementXMLElementForObject(element, o);
    }
    void addNamespacesToElement(const GDataXMLElementPtr& element) const;
    void addAttributesToElement(const GDataXMLElementPtr& element) const;
    void addContentValueToElement(const GDataXMLElementPtr& element) const;
    void addChildXMLElementsToElement(const GDataXMLElementPtr& element) const;
    void addExtensionsToElement(const GDataXMLElementPtr& element) const;
    void addUnknownChildNodesToElement(const GDataXMLElementPtr& element) const;
    // A text child with the filtered string.
    static void addStringValue(const GDataXMLElementPtr& element, std::string_view value);
    static GDataXMLElementPtr elementWithNameAttribute(std::string_view name, std::string_view attributeName,
                                                       std::string_view attributeValue);

    // --- upload defaults (entries override them) ---
    virtual std::optional<std::string> uploadMIMEType() const { return std::nullopt; }
    virtual bool shouldUploadDataOnly() const { return false; }
    // The body of an upload request (stream, length, headers); false when there is none.
    virtual bool generateContentInputStream(std::shared_ptr<platform::InputStream>& stream, uint64_t& length,
                                            GDataHeaderList& headers) const {
        return false;
    }

protected:
    // While its document is read (objectWithXMLData), before this object's own parse: whether it
    // takes `child`, a complete child of the root, parsing it at once as its own parse would
    // have. A child not taken stays for initWithXMLElement. None is taken by default.
    virtual bool takeChildWhileParsing(const GDataXMLElementPtr& /*child*/) { return false; }
    // parseMatchedChildren for one child; whether the child was consumed (a class was found).
    bool parseMatchedChild(const GDataXMLElementPtr& child, std::string_view name, std::optional<std::string_view> URI,
                           const GDataClassInfo* cls, GDataObjectPtr& out);

    // The bytes of XMLDocument() written without holding the whole tree; nullopt (the default)
    // when the object has no such way and the tree is built and written.
    virtual std::optional<platform::Bytes> streamedXMLData() const { return std::nullopt; }
    // XMLElementWithExtensionsAndDefaultName through a writer, in two parts: the start of the element
    // with its declarations and every attribute, then its children. The caller may add attributes
    // of its own between the two, children after, and ends the element.
    void writeXMLStart(GDataXMLWriter& writer, std::optional<std::string_view> defaultName) const;
    void writeXMLChildren(GDataXMLWriter& writer) const;
    // The document of XMLElement(), built now.
    std::shared_ptr<GDataXMLDocument> builtXMLDocument() const;
    // The namespaces the model writes under their usual prefixes.
    static const std::vector<std::pair<const char*, const char*>>& standardNamespaces();

    // Extension storage: one object or a list, per class, in insertion order. Most slots hold
    // one object, kept inside the slot.
    using ExtensionObjects = platform::SmallVector<GDataExtensionPtr, 1>;
    struct ExtensionSlot {
        const GDataClassInfo* cls;
        bool isList;
        ExtensionObjects objects;
    };
    const std::vector<ExtensionSlot>* extensionSlots() const {
        willReadExtensions(nullptr);
        return hasExtensions_ ? &extensions_.get() : nullptr;
    }

    // An object whose extensions are made only when read (a stand-in holding them in a compact
    // form elsewhere) turns this on: every read of the extensions of a class (nullptr: of any, as
    // copy, equality and generation read them all) first calls makeExtensions, and every change
    // calls it with `change`, after which what is stored must stay. makeExtensions stores what
    // it makes with this turned off, through the usual setters, and may later remove what it
    // made (setObject(nullptr, cls)) to give the memory back.
    void setMakesExtensionsWhenRead(bool on) const { makesExtensions_ = on; }
    // Gives back the room the extension list grew into beyond what it holds (for an object kept
    // long with few extensions, as a stand-in is).
    void trimExtensionRoom() {
        if (!extensions_.empty()) extensions_.edit().shrink_to_fit();
    }
    bool makesExtensionsWhenRead() const { return makesExtensions_; }
    virtual void makeExtensions(const GDataClassInfo* /*cls*/, bool /*change*/) const {}
    void willReadExtensions(const GDataClassInfo* cls) const {
        if (makesExtensions_) makeExtensions(cls, false);
    }
    void willChangeExtensions(const GDataClassInfo* cls) const {
        if (makesExtensions_) makeExtensions(cls, true);
    }

private:
    void parseAttributesForElement(const GDataXMLElementPtr& element);
    void parseContentValueForElement(const GDataXMLElementPtr& element);
    void keepChildXMLElementsForElement(const GDataXMLElementPtr& element);
    // The parsed objects of matched children, in order (most matches are one child).
    using ParsedObjects = platform::SmallVector<GDataObjectPtr, 2>;
    void parseMatchedChildren(std::span<const GDataXMLElementPtr> children, std::string_view name,
                              std::optional<std::string_view> URI, const GDataClassInfo* cls, ParsedObjects& out);
    void objectOrArrayForChildren(const GDataXMLElementPtr& element, std::string_view name,
                                  std::optional<std::string_view> URI, const GDataClassInfo* cls, ParsedObjects& out);
    // Stores parsed objects of an extension class: one object, or a list of several.
    void storeParsedObjects(ParsedObjects& objects, const GDataClassInfo& cls);
    // The attribute's value, the attribute marked as consumed.
    std::optional<std::string> takeAttributeValue(const GDataXMLNode& attr);
    ExtensionSlot* slotFor(const GDataClassInfo& cls);
    const ExtensionSlot* slotFor(const GDataClassInfo& cls) const;
    std::vector<std::string>& ensureAttributeDeclarations();
    // objectWithXMLData; with `takeChildren` false the whole tree is read first.
    static platform::Result<GDataObjectPtr> objectWithXMLData(const platform::Bytes& data, const GDataClassInfo* cls,
                                                              std::optional<std::string> serviceVersion,
                                                              const GDataSurrogates* surrogates,
                                                              bool shouldFeedsIgnoreUnknowns, bool takeChildren);
    struct ParseFrame;
    // The shared declaration caches, made when missing, with this class's declarations in them;
    // answers the extension declaration cache.
    GDataExtensionDeclarationCache* prepareDeclarations(const ParseFrame* up = nullptr);
    // The settings of a response's root, before any of it is parsed.
    void prepareRootParse(std::optional<std::string> serviceVersion, const GDataSurrogates* surrogates,
                          bool shouldIgnoreUnknowns);
    // Applies the consumption recorded while parsing to the unparsed lists.
    void flushConsumed() const;

    // The element name: the class's own qualified name, shared by every object of the class that
    // uses it, or a name of its own (kept with the rare state).
    const std::string* classElementName_ = nullptr;
    const std::string& ownElementName() const;
    void setOwnElementName(std::string name);
    std::weak_ptr<GDataObject> parent_;
    GDataRareList<GDataStringDictionary> namespaces_;
    // The local attribute names and markers: the class's list, made once per class and shared by
    // every object of it, or a list of this object's own (kept with the rare state).
    const std::vector<std::string>* attributeDeclarations_ = nullptr;
    // One pointer: most objects of a feed (its leaves) hold no extension at all.
    GDataRareList<std::vector<ExtensionSlot>> extensions_;
    GDataAttributeBlock attributes_;
    GDataCompactText contentValue_;
    GDataRareList<GDataXMLElementList> childXMLElements_;
    // The unparsed children and attributes: one pointer for both, none until either has a node.
    struct Unparsed {
        GDataXMLNodeList children, attributes;
    };
    mutable std::unique_ptr<Unparsed> unparsed_;
    const GDataXMLNodeList& unparsed(bool attributes) const;
    GDataXMLNodeList& editUnparsed(bool attributes) const;
    void setUnparsed(bool attributes, GDataXMLNodeList nodes);
    bool shouldIgnoreUnknowns_ = false;
    bool hasExtensions_ = false;  // whether the extension list exists (even empty)
    mutable bool makesExtensions_ = false;  // see setMakesExtensionsWhenRead
    // Whether the declaration caches are this object's own (none until made) rather than found
    // through its parents: an object made on its own starts with empty ones.
    bool ownsDeclarationCaches_ = false;
    // The mark this object's parse leaves on what it consumes (see parsedElement_): odd, so that it
    // is never a node's address (kept copies are marked with their source's); 0 for none.
    uint32_t parseMark_ = 0;
    // One string per distinct version for the whole process (nullptr: none), shared by every
    // object of that version.
    const std::string* serviceVersion_ = nullptr;
    // What few objects ever carry, made on first use: a feed holds thousands of objects, so each
    // keeps only a pointer for all of it.
    struct Rare {
        std::string elementName;
        std::optional<std::string> coreProtocolVersion;
        bool hasCoreProtocolVersion = false;  // set explicitly, until the service version changes
        std::shared_ptr<GDataExtensionDeclarationCache> extensionDeclarationsCache;
        std::shared_ptr<GDataAttributeDeclarationCache> attributeDeclarationsCache;
        std::unique_ptr<std::vector<std::string>> attributeDeclarations;
        GDataSurrogates surrogates;
        std::any userData;
        std::map<std::string, std::any> userProperties;
    };
    Rare& rare();
    std::unique_ptr<Rare> rare_;
    // The declarations shared by every object of the class (made from this object the first time).
    const std::vector<std::string>* classAttributeDeclarations();
    // The element being parsed, until the unparsed lists are made from it. Parsing marks each
    // node it consumes with a mark of this parse's own (libxml2's per-node application pointer), and
    // the lists are made once, from the nodes not so marked: removing nodes one at a time would
    // be quadratic in the number of children of a large feed, and most parsed objects never need
    // the lists at all until they are written.
    mutable GDataXMLElementPtr parsedElement_;
    const void* parseMarkValue() const { return reinterpret_cast<const void*>(uintptr_t(parseMark_)); }
    void markConsumed(const GDataXMLNode* node, bool attribute);
    // An object parsing its children, as they see it (on the parsing object's stack): its
    // declaration cache, the chain of its class and its parents', and whether any of them has
    // surrogates, so a child reads them without walking its parents.
    struct ParseFrame {
        const GDataObject* object = nullptr;
        GDataExtensionDeclarationCache* cache = nullptr;
        const GDataExtensionDeclarationCache::Chain* chain = nullptr;
        bool surrogates = false;
    };
    // The frame of the object parsing its children on this thread (nullptr: none).
    static const ParseFrame*& currentParseFrame();
    // This object's frame; `up` is its parent's, or nullptr when that must be found by walking.
    ParseFrame parseFrame(GDataExtensionDeclarationCache* cache, const ParseFrame* up) const;
    const GDataExtensionDeclarationCache::Chain* chainForParse(GDataExtensionDeclarationCache& cache) const;
    bool hasSurrogatesInChain() const;
    void parseExtensionsForElement(const GDataXMLElementPtr& element, const ParseFrame& frame);
};

}  // namespace quorvane
