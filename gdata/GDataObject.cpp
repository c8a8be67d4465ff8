#include "gdata/GDataObject.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gdata/GDataClassRegistry.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataScanner.h"
#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLTree.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::ClassInfo;

namespace {

// What the objects made from one answer may keep of the XML no class reads, counted in nodes: each
// is kept as a copy of a few hundred bytes, so an answer made of little else (comments, empty
// unknown elements) would cost tens of times its size. kKeptNodesBeforeBound, and one more for
// every kAnswerBytesPerKeptNode bytes of the answer; a contacts feed keeps one for a kilobyte or so.
constexpr size_t kKeptNodesBeforeBound = 100000;
constexpr size_t kAnswerBytesPerKeptNode = 128;

struct KeptNodesBudget {
    size_t left = 0, bound = 0;
    bool exceeded = false;
};
thread_local KeptNodesBudget* currentKeptBudget = nullptr;

// Whether the node (and what is under it) may be kept as a copy; once the answer's budget is
// spent, nothing more is.
bool mayKeep(const GDataXMLNode& node) {
    KeptNodesBudget* budget = currentKeptBudget;
    if (!budget) return true;
    if (budget->exceeded) return false;
    const size_t n = gdataxml::nodesInSubtrees(node.XMLNode(), node.XMLNode());
    if (n > budget->left) {
        budget->exceeded = true;
        return false;
    }
    budget->left -= n;
    return true;
}

// The base class of the feeds, found by name: the feed classes build on this one.
const GDataClassInfo* feedBaseClass() {
    static const GDataClassInfo* feed = GDataClassRegistry::classNamed("GDataFeedBase");
    return feed;
}

const std::string kContentMarker = " __content";
const std::string kChildXMLMarker = " __childXML";


const std::string* findIn(const GDataStringDictionary& d, std::string_view key) {
    for (const auto& [k, v] : d)
        if (k == key) return &v;
    return nullptr;
}

void setIn(GDataStringDictionary& d, std::string_view key, std::string value) {
    for (auto& [k, v] : d) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    d.emplace_back(std::string(key), std::move(value));
}

bool dictionariesEqual(const GDataStringDictionary& a, const GDataStringDictionary& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [k, v] : a) {
        auto other = findIn(b, k);
        if (!other || *other != v) return false;
    }
    return true;
}

// The text as written: the filter's output, without a copy when it leaves the text as it is.
std::string_view filteredForWriting(std::string_view text, std::string& scratch) {
    if (!GDataUtilities::stringHasControlsToFilter(text)) return text;
    scratch = GDataUtilities::stringWithControlsFilteredForString(std::string(text));
    return scratch;
}

bool extensionsEqual(const GDataExtensionPtr& a, const GDataExtensionPtr& b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return a->isEqual(*b);
}

std::mutex& qualifiedNameMutex() {
    static std::mutex m;
    return m;
}

std::map<const GDataClassInfo*, std::string>& qualifiedNameCache() {
    static std::map<const GDataClassInfo*, std::string> cache;
    return cache;
}

}  // namespace

// Leading integer of a string, platform style: white space skipped, optional sign, saturating.
int64_t gdataLeadingInt64(std::string_view s) {
    size_t pos = 0;
    gdata_scan::skipWhitespace(s, pos);
    int64_t v = 0;
    if (!gdata_scan::scanInteger(s, pos, v, gdata_scan::Overflow::Clamp)) return 0;
    return v;
}

int32_t gdataLeadingInt32(std::string_view s) {
    int64_t v = gdataLeadingInt64(s);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return int32_t(v);
}

std::string gdataDecimalText(std::string_view s) {
    size_t pos = 0;
    gdata_scan::skipWhitespace(s, pos);
    bool negative = false;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '+')) negative = s[pos++] == '-';
    std::string digits;  // all significant digits, integer part then fraction
    int64_t pointAt = 0;  // digits before the decimal point
    bool any = false;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        digits += s[pos++];
        ++pointAt;
        any = true;
    }
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            digits += s[pos++];
            any = true;
        }
    }
    if (!any) return "NaN";
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        size_t save = pos++;
        int64_t exp = 0;
        if (gdata_scan::scanInteger(s, pos, exp, gdata_scan::Overflow::Clamp) && exp > -1000 && exp < 1000)
            pointAt += exp;
        else
            pos = save;
    }
    // Strip leading zeros (moving the point) and trailing zeros of the fraction.
    size_t lead = 0;
    while (lead < digits.size() && digits[lead] == '0') ++lead;
    digits.erase(0, lead);
    pointAt -= int64_t(lead);
    if (digits.empty()) return "0";
    while (!digits.empty() && digits.back() == '0' && int64_t(digits.size()) > pointAt) digits.pop_back();
    std::string out = negative ? "-" : "";
    if (pointAt <= 0) {
        out += "0." + std::string(size_t(-pointAt), '0') + digits;
    } else if (pointAt >= int64_t(digits.size())) {
        out += digits + std::string(size_t(pointAt - int64_t(digits.size())), '0');
    } else {
        out += digits.substr(0, size_t(pointAt)) + "." + digits.substr(size_t(pointAt));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// GDataExtension, GDataAttribute, GDataExtensionDeclaration

const GDataClassInfo& GDataExtension::staticClassInfo() {
    static const GDataClassInfo info{{"GDataExtension", nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr};
    return info;
}

QV_GDATA_DEFINE_CLASS(GDataAttribute, GDataExtension, nullptr, nullptr, nullptr)

std::string GDataExtensionDeclaration::description() const {
    return std::string("GDataExtensionDeclaration: {") + (parentClass_ ? parentClass_->name : "(null)") +
           " can contain " + (childClass_ ? childClass_->name : "(null)") + "}" + (isAttribute_ ? " (attribute)" : "");
}

std::shared_ptr<GDataAttribute> GDataAttribute::attributeWithValue(const GDataClassInfo& cls,
                                                                   std::optional<std::string> value) {
    auto attr = std::dynamic_pointer_cast<GDataAttribute>(cls.make());
    if (!attr) return nullptr;
    attr->setStringValue(std::move(value));
    return attr;
}

bool GDataAttribute::isEqual(const GDataExtension& other) const {
    if (this == &other) return true;
    auto o = dynamic_cast<const GDataAttribute*>(&other);
    if (!o) return false;
    return value_ == o->value_;
}

GDataExtensionPtr GDataAttribute::copy() const {
    auto attr = std::dynamic_pointer_cast<GDataAttribute>(classInfo().make());
    if (attr) attr->value_ = value_;
    return attr;
}

std::string GDataAttribute::description() const {
    const auto& cls = classInfo();
    std::string name;
    if (cls.extensionPrefix && *cls.extensionPrefix) name = std::string(cls.extensionPrefix) + ":";
    if (cls.extensionLocalName) name += cls.extensionLocalName;
    return std::string(cls.name) + " " + platform::addressText(this) + ": {" + name + "=" + value_.value_or("(null)") + "}";
}

// ---------------------------------------------------------------------------------------------
// The declaration cache

namespace {

// One of 64 buckets per local name (by length and first and last letters): most declared classes
// are ruled out of an element's children without comparing names, and the others are compared
// with the children of their bucket only.
unsigned nameBucket(std::string_view n) {
    return n.empty() ? 0 : unsigned((n.size() * 7 + uint8_t(n.front()) * 3 + uint8_t(n.back())) % 64);
}

// An attribute in a namespace is told by its URI, whatever prefix the document binds to it: a
// "gd:" bound to another URI is not ours.
bool attributeByURI(const GDataClassInfo& x) {
    return x.extensionURI && x.extensionLocalName && *x.extensionURI &&
           std::string_view(x.extensionURI) != kGDataNamespaceAtom;
}

}  // namespace

// A class with the chain of its parents' classes, made once per cache.
struct GDataExtensionDeclarationCache::Chain {
    const GDataClassInfo* cls;
    const Chain* up;
    mutable const Gathered* gathered = nullptr;
};

// The declarations an object of a chain's class reads: those its own class and each class above
// it made for its class, in that order, with what matching them against children needs.
struct GDataExtensionDeclarationCache::Gathered {
    struct Declaration {
        const GDataClassInfo* cls;
        bool isAttribute;
        bool attributeByURI;
        std::string_view localName;  // empty when the class names no element
        unsigned nameBucket;
        const std::string* qualifiedName;
    };
    uint64_t version;
    std::vector<Declaration> declarations;
};

struct GDataExtensionDeclarationCache::Chains {
    // Open addressing by class and chain above (one lookup per parsed object): a power-of-two
    // table of pointers into `made`, at most half full.
    std::vector<Chain*> table = std::vector<Chain*>(64, nullptr);
    std::vector<std::unique_ptr<Chain>> made;
    static size_t hash(const GDataClassInfo* cls, const Chain* up) {
        uint64_t h = (reinterpret_cast<uintptr_t>(cls) ^ (reinterpret_cast<uintptr_t>(up) * 0x9E3779B97F4A7C15ull));
        return size_t((h * 0xff51afd7ed558ccdull) >> 32);
    }
    Chain* find(const GDataClassInfo* cls, const Chain* up) {
        for (size_t i = hash(cls, up) & (table.size() - 1);; i = (i + 1) & (table.size() - 1)) {
            Chain* c = table[i];
            if (!c || (c->cls == cls && c->up == up)) return c;
        }
    }
    void insert(Chain* chain) {
        if ((made.size() + 1) * 2 > table.size()) {
            std::vector<Chain*> bigger(table.size() * 2, nullptr);
            table.swap(bigger);
            for (Chain* c : bigger)
                if (c) place(c);
        }
        place(chain);
    }
    void place(Chain* chain) {
        size_t i = hash(chain->cls, chain->up) & (table.size() - 1);
        while (table[i]) i = (i + 1) & (table.size() - 1);
        table[i] = chain;
    }
    // Every list gathered, kept while the cache lives: a parse may still be reading an earlier
    // one when a declaration added since makes it gather again.
    std::vector<std::unique_ptr<Gathered>> gathered;
};

GDataExtensionDeclarationCache::GDataExtensionDeclarationCache() = default;
GDataExtensionDeclarationCache::GDataExtensionDeclarationCache(const GDataExtensionDeclarationCache& other)
    : byClass_(other.byClass_) {}
GDataExtensionDeclarationCache::~GDataExtensionDeclarationCache() = default;

const GDataExtensionDeclarationCache::Declarations* GDataExtensionDeclarationCache::declarations(
    const GDataClassInfo& declaringClass, const GDataClassInfo& parentClass) const {
    auto it = byClass_.find(&declaringClass);
    if (it == byClass_.end()) return nullptr;
    auto pit = it->second.find(&parentClass);
    return pit == it->second.end() ? nullptr : &pit->second;
}

void GDataExtensionDeclarationCache::add(const GDataClassInfo& declaringClass,
                                         const GDataExtensionDeclaration& declaration) {
    byClass_[&declaringClass][declaration.parentClass()].push_back(declaration);
    ++version_;
}

void GDataExtensionDeclarationCache::remove(const GDataClassInfo& declaringClass,
                                            const GDataExtensionDeclaration& declaration) {
    auto it = byClass_.find(&declaringClass);
    if (it == byClass_.end()) return;
    auto pit = it->second.find(declaration.parentClass());
    if (pit == it->second.end()) return;
    std::erase(pit->second, declaration);
    ++version_;
}

const GDataExtensionDeclarationCache::Chain* GDataExtensionDeclarationCache::chain(const GDataClassInfo& cls,
                                                                                   const Chain* up) {
    if (!chains_) chains_ = std::make_unique<Chains>();
    if (Chain* found = chains_->find(&cls, up)) return found;
    auto made = std::make_unique<Chain>(Chain{&cls, up});
    Chain* chain = made.get();
    chains_->insert(chain);
    chains_->made.push_back(std::move(made));
    return chain;
}

const GDataExtensionDeclarationCache::Gathered& GDataExtensionDeclarationCache::gathered(const Chain& chain) {
    if (chain.gathered && chain.gathered->version == version_) return *chain.gathered;
    auto made = std::make_unique<Gathered>();
    made->version = version_;
    for (const Chain* c = &chain; c; c = c->up) {
        const Declarations* decls = declarations(*c->cls, *chain.cls);
        if (!decls) continue;
        for (const auto& decl : *decls) {
            const GDataClassInfo* x = decl.childClass();
            if (!x) continue;
            std::string_view local = x->extensionLocalName ? std::string_view(x->extensionLocalName) : std::string_view();
            made->declarations.push_back({x, decl.isAttribute(), attributeByURI(*x), local, nameBucket(local),
                                          &GDataObject::qualifiedNameForExtensionClass(*x)});
        }
    }
    if (!chains_) chains_ = std::make_unique<Chains>();
    chain.gathered = made.get();
    chains_->gathered.push_back(std::move(made));
    return *chain.gathered;
}

// ---------------------------------------------------------------------------------------------
// GDataObject: creation

QV_GDATA_DEFINE_CLASS(GDataObject, GDataExtension, nullptr, nullptr, nullptr)

GDataObject::~GDataObject() = default;

void GDataObject::init() {
    // Declaration caches of its own, none until something is declared in them.
    ownsDeclarationCaches_ = true;
    if (rare_) {
        rare_->extensionDeclarationsCache.reset();
        rare_->attributeDeclarationsCache.reset();
    }
    attributeDeclarations_ = classAttributeDeclarations();
}

const std::vector<std::string>* GDataObject::classAttributeDeclarations() {
    const auto& cls = classInfo();
    if (auto made = cls.attributeDeclarations.load(std::memory_order_acquire)) return made;
    // The first object of the class collects them in a list of its own, which then serves the
    // class (a class's declarations depend on nothing but the class).
    std::unique_ptr<std::vector<std::string>> saved;
    if (rare_) saved = std::move(rare_->attributeDeclarations);
    attributeDeclarations_ = nullptr;
    addParseDeclarations();
    auto* made = new std::vector<std::string>();
    if (rare_ && rare_->attributeDeclarations) *made = std::move(*rare_->attributeDeclarations);
    if (rare_) rare_->attributeDeclarations = std::move(saved);
    const std::vector<std::string>* expected = nullptr;
    if (!cls.attributeDeclarations.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        delete made;  // another thread made them first
        return expected;
    }
    return made;
}

void GDataObject::initWithServiceVersion(std::optional<std::string> serviceVersion) {
    setServiceVersion(std::move(serviceVersion));
    init();
}

void GDataObject::prepareRootParse(std::optional<std::string> serviceVersion, const GDataSurrogates* surrogates,
                                   bool shouldIgnoreUnknowns) {
    setServiceVersion(std::move(serviceVersion));
    if (surrogates) rare().surrogates = *surrogates;
    shouldIgnoreUnknowns_ = shouldIgnoreUnknowns;
}

bool GDataObject::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent,
                                     std::optional<std::string> serviceVersion, const GDataSurrogates* surrogates,
                                     bool shouldIgnoreUnknowns) {
    prepareRootParse(std::move(serviceVersion), surrogates, shouldIgnoreUnknowns);
    bool parsed = initWithXMLElement(element, parent);
    // The parse of the whole tree is over: the unparsed lists are made now, so the object lets go
    // of the element and, with it, the wrappers the parse cached for the whole document.
    flushConsumed();
    return parsed;
}

bool GDataObject::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!element) return false;
    parent_ = parent;
    // The parent's frame when the parent is parsing its children now (the usual way here).
    const ParseFrame* up = currentParseFrame();
    if (up && (!parent || up->object != parent.get())) up = nullptr;
    if (parent) {
        serviceVersion_ = parent->serviceVersion_;
        shouldIgnoreUnknowns_ = parent->shouldIgnoreUnknowns_;
        // The declaration caches are the parent's, found through it.
        ownsDeclarationCaches_ = false;
        if (rare_) {
            rare_->extensionDeclarationsCache.reset();
            rare_->attributeDeclarationsCache.reset();
        }
    }
    GDataExtensionDeclarationCache* cache = prepareDeclarations(up);

    if (auto ns = dictionaryForElementNamespaces(element)) namespaces_ = std::move(*ns);

    unparsed_.reset();
    if (!shouldIgnoreUnknowns_) {
        parsedElement_ = element;
        // A mark of its own, so that what an earlier parse of the same element left there never
        // counts (not the address: an earlier object may have had this one's), and odd, so that
        // it is never a node's address (kept copies are marked with their source's).
        // (32 bits: a mark comes back only after two thousand million parses, and only counts
        // for a node that an earlier parse of them marked and that is parsed again.)
        static std::atomic<uint32_t> nextMark{1};
        parseMark_ = nextMark.fetch_add(2, std::memory_order_relaxed);
    }

    if (cache) parseExtensionsForElement(element, parseFrame(cache, up));
    parseAttributesForElement(element);
    parseContentValueForElement(element);
    keepChildXMLElementsForElement(element);
    // Most elements carry their class's own name: that one string serves them all.
    const std::string& className = qualifiedNameForExtensionClass(classInfo());
    if (!className.empty() && element->hasQualifiedName(className)) {
        classElementName_ = &className;
        setOwnElementName(std::string());
    } else {
        classElementName_ = nullptr;
        setOwnElementName(element->qualifiedName().value_or(""));
    }
    return true;
}

GDataExtensionDeclarationCache* GDataObject::prepareDeclarations(const ParseFrame* up) {
    // A parsed child has no cache of its own: it uses its parent's, which the parent's frame holds.
    GDataExtensionDeclarationCache* cache = nullptr;
    if (up && up->cache && !ownsDeclarationCaches_ && !(rare_ && rare_->extensionDeclarationsCache)) {
        cache = up->cache;
    } else {
        auto shared = extensionDeclarationsCache();
        if (!shared) {
            shared = std::make_shared<GDataExtensionDeclarationCache>();
            rare().extensionDeclarationsCache = shared;
        }
        cache = shared.get();
    }
    if (!cache->hasDeclarationsOf(classInfo())) addExtensionDeclarations();
    attributeDeclarations_ = classAttributeDeclarations();
    return cache;
}

const GDataObject::ParseFrame*& GDataObject::currentParseFrame() {
    static thread_local const ParseFrame* frame = nullptr;
    return frame;
}

const GDataExtensionDeclarationCache::Chain* GDataObject::chainForParse(GDataExtensionDeclarationCache& cache) const {
    auto p = parent_.lock();
    return cache.chain(classInfo(), p ? p->chainForParse(cache) : nullptr);
}

bool GDataObject::hasSurrogatesInChain() const {
    for (const GDataObject* o = this; o;) {
        if (o->rare_ && !o->rare_->surrogates.empty()) return true;
        auto p = o->parent_.lock();
        o = p.get();
        if (!p) break;
    }
    return false;
}

GDataObject::ParseFrame GDataObject::parseFrame(GDataExtensionDeclarationCache* cache, const ParseFrame* up) const {
    ParseFrame frame;
    frame.object = this;
    frame.cache = cache;
    const bool ownSurrogates = rare_ && !rare_->surrogates.empty();
    if (up && up->cache == cache) {
        frame.chain = cache->chain(classInfo(), up->chain);
        frame.surrogates = ownSurrogates || up->surrogates;
    } else {
        frame.chain = chainForParse(*cache);
        frame.surrogates = hasSurrogatesInChain();
    }
    return frame;
}

platform::Result<GDataObjectPtr> GDataObject::objectWithXMLData(const platform::Bytes& data, const GDataClassInfo* cls,
                                                                std::optional<std::string> serviceVersion,
                                                                const GDataSurrogates* surrogates,
                                                                bool shouldFeedsIgnoreUnknowns) {
    // Only a feed takes children while its document is read: for a single entry, offering each
    // child as it ends would only cost time.
    const GDataClassInfo* feedClass = feedBaseClass();
    const bool takeChildren = !cls || !feedClass || cls->isSubclassOf(*feedClass);
    return objectWithXMLData(data, cls, std::move(serviceVersion), surrogates, shouldFeedsIgnoreUnknowns, takeChildren);
}

platform::Result<GDataObjectPtr> GDataObject::objectWithXMLData(const platform::Bytes& data, const GDataClassInfo* cls,
                                                                std::optional<std::string> serviceVersion,
                                                                const GDataSurrogates* surrogates,
                                                                bool shouldFeedsIgnoreUnknowns, bool takeChildren) {
    // A feed is asked for: a document whose root is anything but an Atom feed (an HTML page, an
    // error document, a lone entry) is no feed, however well-formed, and never reads as an empty one.
    const GDataClassInfo* feedBase = feedBaseClass();
    const bool feedAskedFor = cls && feedBase && cls->isSubclassOf(*feedBase);
    auto isAtomFeed = [](const GDataXMLElementPtr& root) {
        return root && root->storedName() == "feed" && root->namespaceURIView() == std::string_view(kGDataNamespaceAtom);
    };
    auto classForRoot = [&](const GDataXMLElementPtr& root) -> const GDataClassInfo* {
        if (feedAskedFor && !isAtomFeed(root)) return nullptr;
        const GDataClassInfo* chosen = cls ? cls : objectClassForXMLElement(nullptr, root);
        if (chosen && surrogates) {
            auto found = surrogates->find(chosen);
            if (found != surrogates->end() && found->second) chosen = found->second;
        }
        return chosen;
    };
    auto make = [&](const GDataClassInfo& chosen) -> GDataObjectPtr {
        auto object = std::dynamic_pointer_cast<GDataObject>(chosen.allocate ? chosen.allocate() : nullptr);
        if (!object) return nullptr;
        const GDataClassInfo* feedClass = feedBaseClass();
        bool ignoreUnknowns = shouldFeedsIgnoreUnknowns && feedClass && chosen.isSubclassOf(*feedClass);
        object->prepareRootParse(serviceVersion, surrogates, ignoreUnknowns);
        return object;
    };

    // What the objects keep of unread XML is bounded by the answer's size (refused past it).
    KeptNodesBudget budget;
    budget.bound = budget.left = kKeptNodesBeforeBound + data.size() / kAnswerBytesPerKeptNode;
    struct Installed {
        KeptNodesBudget* outer;
        ~Installed() { currentKeptBudget = outer; }
    } installed{std::exchange(currentKeptBudget, &budget)};
    auto refusal = [&budget]() {
        return platform::Error::withDescription(
            kGDataXMLErrorDomain, kGDataXMLErrorTooManyNodes,
            "The document was refused: what no class reads in it (kept to be written back) holds more than " +
                std::to_string(budget.bound) + " elements, attributes, texts and comments, more than a document of its "
                "size can keep (" + std::to_string(kKeptNodesBeforeBound) + ", and one more for every " +
                std::to_string(kAnswerBytesPerKeptNode) + " bytes).");
    };

    // The object is made when the first child is offered, of the class the root names so far; it
    // may change while nothing was taken (the root names its kind by a child that comes first).
    GDataObjectPtr object;
    bool tookChildren = false;
    auto takeChild = [&](const GDataXMLElementPtr& root, const GDataXMLElementPtr& child) {
        if (budget.exceeded) return false;
        if (!tookChildren) {
            const GDataClassInfo* chosen = classForRoot(root);
            if (!chosen) return false;
            if (!object || &object->classInfo() != chosen) {
                object = make(*chosen);
                if (!object) return false;
                // The root's bindings, for what is shown of its children before its own parse
                // (the root's start tag, read whole, declares them all).
                if (auto ns = dictionaryForElementNamespaces(root)) object->setNamespaces(std::move(*ns));
            }
            object->prepareDeclarations();
        }
        bool took = object->takeChildWhileParsing(child);
        tookChildren = tookChildren || took;
        return took;
    };
    auto parsed = takeChildren ? GDataXMLDocument::initWithDataTakingChildren(data, takeChild)
                               : GDataXMLDocument::initWithData(data, 0);
    if (!parsed) return parsed.error();
    std::shared_ptr<GDataXMLDocument> doc = std::move(*parsed);
    auto root = doc->rootElement();
    if (!root) return nullptr;
    if (feedAskedFor && !isAtomFeed(root)) {
        return platform::Error::withDescription(
            kGDataXMLErrorDomain, -1,
            "The answer is not an Atom feed: its root element is <" + std::string(root->storedName()) + ">");
    }
    const GDataClassInfo* chosen = classForRoot(root);
    if (!chosen) return nullptr;
    if (!object || &object->classInfo() != chosen) {
        if (tookChildren) {
            // The root named another class after children were taken for the first: read the
            // whole document again.
            doc.reset();
            object.reset();
            return objectWithXMLData(data, cls, std::move(serviceVersion), surrogates, shouldFeedsIgnoreUnknowns, false);
        }
        object = make(*chosen);
        if (!object) return nullptr;
    }
    if (budget.exceeded) return refusal();
    if (!object->initWithXMLElement(root, nullptr)) return budget.exceeded ? platform::Result<GDataObjectPtr>(refusal()) : nullptr;
    object->flushConsumed();
    object->clearExtensionDeclarationsCache();
    if (budget.exceeded) return refusal();
    return object;
}

GDataObjectPtr GDataObject::objectWithXMLElement(const GDataClassInfo& cls, const GDataXMLElementPtr& element,
                                                 const GDataObjectPtr& parent) {
    auto made = cls.allocate ? cls.allocate() : nullptr;
    if (!made || !made->classInfo().isSubclassOf(GDataObject::staticClassInfo())) return nullptr;
    auto obj = std::static_pointer_cast<GDataObject>(std::move(made));
    if (!obj->initWithXMLElement(element, parent)) return nullptr;
    obj->flushConsumed();
    return obj;
}

void GDataObject::flushConsumed() const {
    if (!parsedElement_) return;
    auto element = std::move(parsedElement_);
    parsedElement_.reset();
    // The lists hold copies: a node of the parsed document would keep the whole document alive
    // for as long as the object lives, where the object needs only these few nodes.
    element->forEachChild([this](const GDataXMLNode& child) {
        if (child.mark() != parseMarkValue() && mayKeep(child))
            if (auto kept = child.copy()) {
                kept->setMark(child.identity());  // the copy's source, for a consumption that comes later
                editUnparsed(false).push_back(std::move(kept));
            }
    });
    element->forEachAttribute([this](const GDataXMLNode& attr) {
        if (attr.mark() != parseMarkValue() && mayKeep(attr))
            if (auto kept = attr.copy()) {
                kept->setMark(attr.identity());
                editUnparsed(true).push_back(std::move(kept));
            }
    });
}

void GDataObject::markConsumed(const GDataXMLNode* node, bool attribute) {
    if (!node || shouldIgnoreUnknowns_) return;
    const void* id = node->identity();
    if (!id || node->kind() == GDataXMLNodeKind::Namespace) return;
    if (parsedElement_) {
        node->setMark(parseMarkValue());
        return;
    }
    // After the lists were made: take the node out directly.
    if (!unparsed_) return;
    auto& list = attribute ? unparsed_->attributes : unparsed_->children;
    std::erase_if(list, [&](const GDataXMLNodePtr& n) {
        return n && n->identity() && (n->identity() == id || n->mark() == id);
    });
}

const GDataXMLNodeList& GDataObject::unparsed(bool attributes) const {
    static const GDataXMLNodeList& none = *new GDataXMLNodeList();  // read by any thread until exit
    if (!unparsed_) return none;
    return attributes ? unparsed_->attributes : unparsed_->children;
}

GDataXMLNodeList& GDataObject::editUnparsed(bool attributes) const {
    if (!unparsed_) unparsed_ = std::make_unique<Unparsed>();
    return attributes ? unparsed_->attributes : unparsed_->children;
}

void GDataObject::setUnparsed(bool attributes, GDataXMLNodeList nodes) {
    if (nodes.empty() && !unparsed_) return;
    editUnparsed(attributes) = std::move(nodes);
    if (unparsed_->children.empty() && unparsed_->attributes.empty()) unparsed_.reset();
}

// ---------------------------------------------------------------------------------------------
// Declarations

void GDataObject::addExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child) {
    addExtensionDeclarationForParentClass(parent, child, false);
}

void GDataObject::addExtensionDeclarationForParentClass(const GDataClassInfo& parent,
                                                        std::initializer_list<const GDataClassInfo*> children) {
    for (auto c : children) {
        if (!c) break;
        addExtensionDeclarationForParentClass(parent, *c, false);
    }
}

void GDataObject::addAttributeExtensionDeclarationForParentClass(const GDataClassInfo& parent,
                                                                 const GDataClassInfo& child) {
    addExtensionDeclarationForParentClass(parent, child, true);
}

void GDataObject::addExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child,
                                                        bool isAttribute) {
    auto cache = extensionDeclarationsCache();
    if (!cache) {
        cache = std::make_shared<GDataExtensionDeclarationCache>();
        rare().extensionDeclarationsCache = cache;
    }
    cache->add(classInfo(), GDataExtensionDeclaration(&parent, &child, isAttribute));
}

void GDataObject::removeExtensionDeclarationForParentClass(const GDataClassInfo& parent, const GDataClassInfo& child) {
    if (auto cache = extensionDeclarationsCache())
        cache->remove(classInfo(), GDataExtensionDeclaration(&parent, &child, false));
}

void GDataObject::removeAttributeExtensionDeclarationForParentClass(const GDataClassInfo& parent,
                                                                    const GDataClassInfo& child) {
    if (auto cache = extensionDeclarationsCache())
        cache->remove(classInfo(), GDataExtensionDeclaration(&parent, &child, true));
}

const std::vector<GDataExtensionDeclaration>* GDataObject::extensionDeclarationsForParentClass(
    const GDataClassInfo& parent) const {
    auto cache = extensionDeclarationsCache();
    return cache ? cache->declarations(classInfo(), parent) : nullptr;
}

std::vector<std::string>& GDataObject::ensureAttributeDeclarations() {
    auto& r = rare();
    if (!r.attributeDeclarations || attributeDeclarations_ != r.attributeDeclarations.get()) {
        // A list of its own, from the shared one: the class's list never changes once made.
        r.attributeDeclarations = attributeDeclarations_ ? std::make_unique<std::vector<std::string>>(*attributeDeclarations_)
                                                          : std::make_unique<std::vector<std::string>>();
        attributeDeclarations_ = r.attributeDeclarations.get();
    }
    return *r.attributeDeclarations;
}

void GDataObject::addLocalAttributeDeclarations(std::initializer_list<std::string_view> names) {
    auto& decls = ensureAttributeDeclarations();
    for (auto n : names) decls.emplace_back(n);
}

void GDataObject::addAttributeDeclarationMarker(std::string_view marker) {
    auto& decls = ensureAttributeDeclarations();
    if (std::find(decls.begin(), decls.end(), marker) == decls.end()) decls.emplace_back(marker);
}

void GDataObject::addContentValueDeclaration() { addAttributeDeclarationMarker(kContentMarker); }

void GDataObject::declareContentMarkerForThisObject(bool contentValue) {
    const std::string& marker = contentValue ? kContentMarker : kChildXMLMarker;
    const std::vector<std::string>* current = attributeDeclarations_;
    if (current && std::find(current->begin(), current->end(), marker) != current->end()) return;
    // A list of its own is changed in place; any other (the class's, or one shared this way) is
    // kept for the life of the process, so it can name the shared list made from it.
    if (rare_ && rare_->attributeDeclarations && current == rare_->attributeDeclarations.get()) {
        rare_->attributeDeclarations->push_back(marker);
        return;
    }
    static std::mutex mutex;
    static auto& shared = *new std::map<std::pair<const void*, bool>, std::unique_ptr<const std::vector<std::string>>>();
    std::lock_guard lock(mutex);
    auto& list = shared[{current, contentValue}];
    if (!list) {
        auto made = current ? std::make_unique<std::vector<std::string>>(*current) : std::make_unique<std::vector<std::string>>();
        made->push_back(marker);
        list = std::move(made);
    }
    attributeDeclarations_ = list.get();
}
void GDataObject::addChildXMLElementsDeclaration() { addAttributeDeclarationMarker(kChildXMLMarker); }

bool GDataObject::hasDeclaredContentValue() const {
    return attributeDeclarations_ &&
           std::find(attributeDeclarations_->begin(), attributeDeclarations_->end(), kContentMarker) !=
               attributeDeclarations_->end();
}

bool GDataObject::hasDeclaredChildXMLElements() const {
    return attributeDeclarations_ &&
           std::find(attributeDeclarations_->begin(), attributeDeclarations_->end(), kChildXMLMarker) !=
               attributeDeclarations_->end();
}

std::shared_ptr<GDataExtensionDeclarationCache> GDataObject::extensionDeclarationsCache() const {
    if (rare_ && rare_->extensionDeclarationsCache) return rare_->extensionDeclarationsCache;
    if (ownsDeclarationCaches_) return nullptr;
    if (auto p = parent()) return p->extensionDeclarationsCache();
    return nullptr;
}

std::shared_ptr<GDataAttributeDeclarationCache> GDataObject::attributeDeclarationsCache() const {
    if (rare_ && rare_->attributeDeclarationsCache) return rare_->attributeDeclarationsCache;
    if (ownsDeclarationCaches_) return nullptr;
    if (auto p = parent()) return p->attributeDeclarationsCache();
    return nullptr;
}

void GDataObject::setExtensionDeclarationsCache(std::shared_ptr<GDataExtensionDeclarationCache> cache) {
    if (cache) rare().extensionDeclarationsCache = std::make_shared<GDataExtensionDeclarationCache>(*cache);
    else if (rare_) rare_->extensionDeclarationsCache.reset();
}

void GDataObject::setAttributeDeclarationsCache(std::shared_ptr<GDataAttributeDeclarationCache> cache) {
    if (cache) rare().attributeDeclarationsCache = std::make_shared<GDataAttributeDeclarationCache>(*cache);
    else if (rare_) rare_->attributeDeclarationsCache.reset();
}

void GDataObject::clearExtensionDeclarationsCache() {
    if (rare_) rare_->extensionDeclarationsCache.reset();
}

void GDataObject::setAttributeDeclarations(std::optional<std::vector<std::string>> decls) {
    if (decls) {
        rare().attributeDeclarations = std::make_unique<std::vector<std::string>>(std::move(*decls));
        attributeDeclarations_ = rare_->attributeDeclarations.get();
        return;
    }
    attributeDeclarations_ = nullptr;
    if (rare_) rare_->attributeDeclarations.reset();
}

// ---------------------------------------------------------------------------------------------
// Plain accessors and namespaces

void GDataObject::addNamespaces(const GDataStringDictionary& ns) {
    if (ns.empty()) return;
    auto& own = namespaces_.edit();
    for (const auto& [k, v] : ns) setIn(own, k, v);
}

void GDataObject::setProperty(const std::string& key, std::any value) {
    if (!value.has_value()) {
        if (rare_) rare_->userProperties.erase(key);
    } else {
        rare().userProperties[key] = std::move(value);
    }
}

GDataObject::Rare& GDataObject::rare() {
    if (!rare_) rare_ = std::make_unique<Rare>();
    return *rare_;
}

const std::string& GDataObject::ownElementName() const {
    static const std::string& none = *new std::string();  // never destroyed: read by any thread until exit
    return rare_ ? rare_->elementName : none;
}

void GDataObject::setOwnElementName(std::string name) {
    if (!name.empty()) rare().elementName = std::move(name);
    else if (rare_) rare_->elementName.clear();
}

const GDataSurrogates& GDataObject::surrogates() const {
    static const GDataSurrogates none;
    return rare_ ? rare_->surrogates : none;
}

const std::any& GDataObject::userData() const {
    static const std::any none;
    return rare_ ? rare_->userData : none;
}

const std::map<std::string, std::any>& GDataObject::properties() const {
    static const std::map<std::string, std::any> none;
    return rare_ ? rare_->userProperties : none;
}

std::any GDataObject::propertyForKey(const std::string& key) const {
    if (!rare_) return std::any();
    auto it = rare_->userProperties.find(key);
    return it == rare_->userProperties.end() ? std::any() : it->second;
}

GDataStringDictionary GDataObject::completeNamespaces() const {
    GDataStringDictionary result;
    if (auto p = parent()) result = p->completeNamespaces();
    for (const auto& [k, v] : namespaces_) setIn(result, k, v);
    return result;
}

void GDataObject::pruneInheritedNamespaces() {
    auto p = parent();
    if (!p || namespaces_.empty()) return;
    auto inherited = p->completeNamespaces();
    std::erase_if(namespaces_.edit(), [&](const auto& kv) {
        auto parentURI = findIn(inherited, kv.first);
        return parentURI && *parentURI == kv.second;
    });
    if (namespaces_.empty()) namespaces_.clear();
}

// ---------------------------------------------------------------------------------------------
// Extensions

GDataObject::ExtensionSlot* GDataObject::slotFor(const GDataClassInfo& cls) {
    if (extensions_.empty()) return nullptr;
    for (auto& s : extensions_.edit())
        if (s.cls == &cls) return &s;
    return nullptr;
}

const GDataObject::ExtensionSlot* GDataObject::slotFor(const GDataClassInfo& cls) const {
    willReadExtensions(&cls);
    return const_cast<GDataObject*>(this)->slotFor(cls);
}

std::optional<std::vector<GDataExtensionPtr>> GDataObject::objectsForExtensionClass(const GDataClassInfo& cls) const {
    auto s = slotFor(cls);
    if (!s) return std::nullopt;
    return s->objects.toVector();
}

GDataExtensionPtr GDataObject::objectForExtensionClass(const GDataClassInfo& cls) const {
    auto s = slotFor(cls);
    if (!s || s->objects.empty()) return nullptr;
    return s->objects.front();
}

void GDataObject::ensureObjectHasXMLNameForExtensionClass(const GDataExtensionPtr& object, const GDataClassInfo& cls) {
    if (!object || !object->classInfo().isSubclassOf(GDataObject::staticClassInfo())) return;
    auto& obj = static_cast<GDataObject&>(*object);
    if (obj.elementName().empty()) obj.classElementName_ = &qualifiedNameForExtensionClass(cls);
}

void GDataObject::setObject(const GDataExtensionPtr& object, const GDataClassInfo& cls) {
    willChangeExtensions(&cls);
    if (!object) {
        if (!extensions_.empty()) std::erase_if(extensions_.edit(), [&](const ExtensionSlot& s) { return s.cls == &cls; });
        return;
    }
    ensureObjectHasXMLNameForExtensionClass(object, cls);
    hasExtensions_ = true;
    if (auto s = slotFor(cls)) {
        s->isList = false;
        s->objects = {object};
        return;
    }
    extensions_.push_back(ExtensionSlot{&cls, false, {object}});
}

void GDataObject::setObjects(const std::optional<std::vector<GDataExtensionPtr>>& objects, const GDataClassInfo& cls) {
    if (!objects) {
        setObject(nullptr, cls);
        return;
    }
    willChangeExtensions(&cls);
    for (const auto& o : *objects) ensureObjectHasXMLNameForExtensionClass(o, cls);
    hasExtensions_ = true;
    if (auto s = slotFor(cls)) {
        s->isList = true;
        s->objects.assign(objects->begin(), objects->end());
        return;
    }
    extensions_.push_back(ExtensionSlot{&cls, true, ExtensionObjects(objects->begin(), objects->end())});
}

void GDataObject::addObject(const GDataExtensionPtr& object, const GDataClassInfo& cls) {
    if (!object) return;
    willChangeExtensions(&cls);
    auto s = slotFor(cls);
    if (!s) {
        setObject(object, cls);
        return;
    }
    ensureObjectHasXMLNameForExtensionClass(object, cls);
    s->isList = true;
    s->objects.push_back(object);
}

void GDataObject::removeObject(const GDataExtensionPtr& object, const GDataClassInfo& cls) {
    willChangeExtensions(&cls);
    auto s = slotFor(cls);
    if (!s || !object) return;
    if (s->isList) {
        s->objects.erase(std::remove_if(s->objects.begin(), s->objects.end(),
                                        [&](const GDataExtensionPtr& o) { return extensionsEqual(o, object); }),
                         s->objects.end());
        return;
    }
    if (!s->objects.empty() && extensionsEqual(s->objects.front(), object)) setObject(nullptr, cls);
}

std::optional<std::string> GDataObject::attributeValueForExtensionClass(const GDataClassInfo& cls) const {
    auto attr = std::dynamic_pointer_cast<GDataAttribute>(objectForExtensionClass(cls));
    if (!attr) return std::nullopt;
    return attr->stringValue();
}

void GDataObject::setAttributeValue(std::optional<std::string> value, const GDataClassInfo& cls) {
    setObject(GDataAttribute::attributeWithValue(cls, std::move(value)), cls);
}

const std::string& GDataObject::qualifiedNameForExtensionClass(const GDataClassInfo& cls) {
    if (auto cached = cls.qualifiedName.load(std::memory_order_acquire)) return *cached;
    std::lock_guard lock(qualifiedNameMutex());
    if (auto cached = cls.qualifiedName.load(std::memory_order_relaxed)) return *cached;
    std::string local = cls.extensionLocalName ? cls.extensionLocalName : "";
    std::string name;
    if (!cls.extensionURI || std::string_view(cls.extensionURI) == kGDataNamespaceAtom)
        name = local;
    else
        name = std::string(cls.extensionPrefix ? cls.extensionPrefix : "") + ":" + local;
    // Kept for the life of the process, one per class.
    auto& stored = qualifiedNameCache()[&cls];
    stored = std::move(name);
    cls.qualifiedName.store(&stored, std::memory_order_release);
    return stored;
}

// ---------------------------------------------------------------------------------------------
// Local attributes

std::optional<std::string> GDataObject::stringValueForAttribute(std::string_view name) const {
    auto v = attributes_.find(name);
    if (!v) return std::nullopt;
    return std::string(*v);
}

void GDataObject::setStringValue(std::optional<std::string> value, std::string_view attributeName) {
    if (!value) attributes_.remove(attributeName);
    else attributes_.set(attributeName, *value);
}

std::optional<int32_t> GDataObject::intNumberForAttribute(std::string_view name) const {
    auto v = stringValueForAttribute(name);
    if (!v || v->empty()) return std::nullopt;
    return gdataLeadingInt32(*v);
}

std::optional<int64_t> GDataObject::longLongNumberForAttribute(std::string_view name) const {
    auto v = stringValueForAttribute(name);
    if (!v) return std::nullopt;
    return gdataLeadingInt64(*v);
}

std::optional<double> GDataObject::doubleNumberForAttribute(std::string_view name) const {
    auto v = stringValueForAttribute(name);
    if (!v) return std::nullopt;
    return GDataUtilities::doubleNumberOrInfForString(*v);
}

std::optional<std::string> GDataObject::decimalNumberForAttribute(std::string_view name) const {
    auto v = stringValueForAttribute(name);
    if (!v || v->empty()) return std::nullopt;
    return gdataDecimalText(*v);
}

void GDataObject::setDecimalNumberValue(std::optional<std::string> decimalText, std::string_view name) {
    if (!decimalText) {
        setStringValue(std::nullopt, name);
        return;
    }
    setStringValue(gdataDecimalText(*decimalText), name);
}

std::optional<GDataDateTime> GDataObject::dateTimeForAttribute(std::string_view name) const {
    auto v = stringValueForAttribute(name);
    if (!v || v->empty()) return std::nullopt;
    return GDataDateTime::dateTimeWithRFC3339String(*v);
}

void GDataObject::setDateTimeValue(const std::optional<GDataDateTime>& dateTime, std::string_view name) {
    if (!dateTime) setStringValue(std::nullopt, name);
    else setStringValue(dateTime->RFC3339String(), name);
}

bool GDataObject::boolValueForAttribute(std::string_view name, bool defaultValue) const {
    auto v = stringValueForAttribute(name);
    if (!v) return defaultValue;
    if (defaultValue) return !platform::asciiEqualsIgnoringCase(*v, "false");
    return platform::asciiEqualsIgnoringCase(*v, "true");
}

void GDataObject::setBoolValue(bool value, bool defaultValue, std::string_view name) {
    if (defaultValue) setStringValue(value ? std::nullopt : std::optional<std::string>("false"), name);
    else setStringValue(value ? std::optional<std::string>("true") : std::nullopt, name);
}

void GDataObject::setExplicitBoolValue(bool value, std::string_view name) {
    setStringValue(std::string(value ? "true" : "false"), name);
}

// ---------------------------------------------------------------------------------------------
// Content

std::optional<std::string> GDataObject::contentStringValue() const {
    QV_ASSERT(hasDeclaredContentValue(), std::string(classInfo().name) + " getting undeclared content value");
    return contentValue_.value();
}

void GDataObject::setContentStringValue(std::optional<std::string> value) {
    QV_ASSERT(hasDeclaredContentValue(), std::string(classInfo().name) + " setting undeclared content value");
    contentValue_ = value;
}

// ---------------------------------------------------------------------------------------------
// Versions

namespace {

// Kept for the life of the process: a program talks to a few service versions.
const std::string* internedServiceVersion(const std::string& version) {
    static std::mutex mutex;
    static auto& versions = *new std::set<std::string>();
    std::lock_guard lock(mutex);
    return &*versions.insert(version).first;
}

}  // namespace

std::optional<std::string> GDataObject::serviceVersion() const {
    if (serviceVersion_) return *serviceVersion_;
    return defaultServiceVersion();
}

void GDataObject::setServiceVersion(std::optional<std::string> v) {
    bool same = v ? serviceVersion_ && *serviceVersion_ == *v : !serviceVersion_;
    if (!same && rare_) {
        rare_->hasCoreProtocolVersion = false;
        rare_->coreProtocolVersion.reset();
    }
    serviceVersion_ = v ? internedServiceVersion(*v) : nullptr;
}

bool GDataObject::isServiceVersionAtLeast(std::string_view version) const {
    auto sv = serviceVersion();
    return GDataUtilities::compareVersion(sv ? std::optional<std::string_view>(*sv) : std::nullopt, version) >= 0;
}

bool GDataObject::isServiceVersionAtMost(std::string_view version) const {
    auto sv = serviceVersion();
    return GDataUtilities::compareVersion(sv ? std::optional<std::string_view>(*sv) : std::nullopt, version) <= 0;
}

std::optional<std::string> GDataObject::coreProtocolVersion() const {
    if (rare_ && rare_->hasCoreProtocolVersion) return rare_->coreProtocolVersion;
    return coreProtocolVersionForServiceVersion(serviceVersion());
}

void GDataObject::setCoreProtocolVersion(std::optional<std::string> v) {
    if (!v && !rare_) return;
    auto& r = rare();
    r.hasCoreProtocolVersion = v.has_value();
    r.coreProtocolVersion = std::move(v);
}

bool GDataObject::isCoreProtocolVersion1() const {
    auto v = coreProtocolVersion();
    return gdataLeadingInt32(v.value_or("")) < 2;
}

// ---------------------------------------------------------------------------------------------
// Parsing

std::optional<GDataStringDictionary> GDataObject::dictionaryForElementNamespaces(const GDataXMLElementPtr& element) {
    if (!element) return std::nullopt;
    std::optional<GDataStringDictionary> out;
    // Found by an index: an element may declare many (a prefix declared twice keeps its place and
    // its last URI).
    std::unordered_map<std::string, size_t> at;
    element->forEachNamespace([&](std::string_view prefix, std::string_view URI) {
        if (!out) out.emplace();
        auto [found, added] = at.try_emplace(std::string(prefix), out->size());
        if (added) out->emplace_back(std::string(prefix), std::string(URI));
        else (*out)[found->second].second = std::string(URI);
    });
    return out;
}

void GDataObject::handleParsedElement(const GDataXMLNodePtr& node) { markConsumed(node.get(), false); }

void GDataObject::handleParsedElements(const GDataXMLElementList& nodes) {
    for (const auto& n : nodes) handleParsedElement(n);
}

void GDataObject::handleParsedAttribute(const GDataXMLNodePtr& node) { markConsumed(node.get(), true); }

const GDataClassInfo& GDataObject::classOrSurrogateForClass(const GDataClassInfo& cls) const {
    // While this object parses its children its frame says whether there are any to look for.
    if (const ParseFrame* frame = currentParseFrame(); frame && frame->object == this && !frame->surrogates) return cls;
    for (const GDataObject* o = this; o;) {
        if (o->rare_) {
            auto it = o->rare_->surrogates.find(&cls);
            if (it != o->rare_->surrogates.end() && it->second) return *it->second;
        }
        auto p = o->parent_.lock();
        o = p.get();
        if (!p) break;
    }
    return cls;
}

GDataXMLElementList GDataObject::elementsForName(std::string_view qualifiedName,
                                                 std::optional<std::string_view> namespaceURI,
                                                 const GDataXMLElementPtr& element) {
    if (!element) return {};
    if (namespaceURI && !namespaceURI->empty()) {
        auto local = GDataXMLNode::localNameForName(qualifiedName);
        auto found = element->elementsForLocalName(local, namespaceURI);
        if (!found.empty()) return found;
    }
    return element->elementsForName(qualifiedName);
}

GDataXMLElementList GDataObject::childrenOfElement(const GDataXMLElementPtr& element, std::string_view prefix) {
    GDataXMLElementList out;
    if (!element) return out;
    for (const auto& child : element->children()) {
        if (child->kind() != GDataXMLNodeKind::Element) continue;
        if (child->prefix().value_or("") == prefix)
            if (auto e = std::dynamic_pointer_cast<GDataXMLElement>(child)) out.push_back(std::move(e));
    }
    return out;
}

GDataXMLElementPtr GDataObject::childWithQualifiedName(std::string_view qualifiedName,
                                                       std::optional<std::string_view> namespaceURI,
                                                       const GDataXMLElementPtr& element) {
    GDataXMLElementList matches;
    if (qualifiedName == "*" && namespaceURI && *namespaceURI == "*") {
        for (const auto& c : element ? element->children() : GDataXMLNodeList{})
            if (auto e = std::dynamic_pointer_cast<GDataXMLElement>(c)) matches.push_back(e);
    } else {
        matches = elementsForName(qualifiedName, namespaceURI, element);
    }
    if (matches.empty()) return nullptr;
    if (matches.size() == 1) {
        handleParsedElement(matches.front());
        return matches.front();
    }
    std::string names;
    for (const auto& m : matches) names += m->XMLString().value_or("") + "\n";
    QV_ASSERT(false, "childWithQualifiedName: could not handle multiple '" + std::string(qualifiedName) +
                         "' elements in list, use elementsForName:\nFound elements: " + names +
                         "\nURI: " + std::string(namespaceURI.value_or("(null)")));
    return nullptr;
}

GDataObjectPtr GDataObject::objectForChildOfElement(const GDataXMLElementPtr& element, std::string_view qualifiedName,
                                                    std::optional<std::string_view> namespaceURI,
                                                    const GDataClassInfo* cls) {
    // Find the child without consuming it: a child whose class cannot be chosen stays unparsed,
    // so it is written back rather than lost.
    auto child = childWithQualifiedName(qualifiedName, namespaceURI, element);
    if (!child) return nullptr;
    const GDataClassInfo* chosen = cls ? cls : objectClassForXMLElement(this, child);
    if (!chosen) {
        if (parsedElement_ && child->mark() == parseMarkValue()) child->setMark(nullptr);
        else if (!parsedElement_ && !shouldIgnoreUnknowns_) editUnparsed(false).push_back(child);
        return nullptr;
    }
    chosen = &classOrSurrogateForClass(*chosen);
    return objectWithXMLElement(*chosen, child, std::static_pointer_cast<GDataObject>(shared_from_this()));
}

std::vector<GDataObjectPtr> GDataObject::objectsForChildrenOfElement(const GDataXMLElementPtr& element,
                                                                     std::string_view qualifiedName,
                                                                     std::optional<std::string_view> namespaceURI,
                                                                     const GDataClassInfo* cls) {
    ParsedObjects objects;
    objectOrArrayForChildren(element, qualifiedName, namespaceURI, cls, objects);
    std::vector<GDataObjectPtr> out;
    out.reserve(objects.size());
    for (auto& o : objects) out.push_back(std::move(o));
    return out;
}

void GDataObject::objectOrArrayForChildren(const GDataXMLElementPtr& element, std::string_view name,
                                           std::optional<std::string_view> URI, const GDataClassInfo* cls,
                                           ParsedObjects& out) {
    if (!element) return;
    GDataXMLElementList children;
    std::string local = GDataXMLNode::localNameForName(name);
    if (local == "*") {
        std::optional<std::string> prefix = GDataXMLNode::prefixForName(name);
        if (!prefix && URI) prefix = element->resolvePrefixForNamespaceURI(*URI);
        if (prefix) children = childrenOfElement(element, *prefix);
    } else {
        children = elementsForName(name, URI, element);
    }
    parseMatchedChildren(children, name, URI, cls, out);
}

void GDataObject::parseMatchedChildren(std::span<const GDataXMLElementPtr> children, std::string_view name,
                                       std::optional<std::string_view> URI, const GDataClassInfo* cls,
                                       ParsedObjects& out) {
    if (children.empty()) return;
    out.reserve(out.size() + children.size());
    for (const auto& child : children) {
        GDataObjectPtr obj;
        if (parseMatchedChild(child, name, URI, cls, obj) && obj) out.push_back(std::move(obj));
    }
}

bool GDataObject::parseMatchedChild(const GDataXMLElementPtr& child, std::string_view name,
                                    std::optional<std::string_view> URI, const GDataClassInfo* cls,
                                    GDataObjectPtr& out) {
    const GDataClassInfo* chosen = cls;
    if (!chosen) chosen = objectClassForXMLElement(this, child);
    if (!chosen && name == "entry" && URI && *URI == kGDataNamespaceAtom) chosen = GDataClassRegistry::classNamed("GDataEntryBase");
    // A child whose class cannot be chosen stays unparsed, so it is written back rather than
    // lost; every other matched child is consumed, whether or not its parse gives an object.
    if (!chosen) return false;
    handleParsedElement(child);
    chosen = &classOrSurrogateForClass(*chosen);
    out = objectWithXMLElement(*chosen, child, std::static_pointer_cast<GDataObject>(shared_from_this()));
    return true;
}

std::optional<std::string> GDataObject::stringValueFromElement(const GDataXMLElementPtr& element) {
    if (!element) return std::nullopt;
    std::string result;
    element->forEachChild([&](const GDataXMLNode& child) {
        if (!child.isTextNode()) return;
        if (auto text = child.simpleContent()) result += *text;
        markConsumed(&child, false);
    });
    return result;
}

std::optional<GDataDateTime> GDataObject::dateTimeFromElement(const GDataXMLElementPtr& element) {
    auto s = stringValueFromElement(element);
    if (!s || s->empty()) return std::nullopt;
    return GDataDateTime::dateTimeWithRFC3339String(*s);
}

std::optional<int32_t> GDataObject::intNumberValueFromElement(const GDataXMLElementPtr& element) {
    auto s = stringValueFromElement(element);
    if (!s || s->empty()) return std::nullopt;
    return gdataLeadingInt32(*s);
}

std::optional<double> GDataObject::doubleNumberValueFromElement(const GDataXMLElementPtr& element) {
    auto s = stringValueFromElement(element);
    if (!s) return std::nullopt;
    return GDataUtilities::doubleNumberOrInfForString(*s);
}

GDataXMLNodePtr GDataObject::attributeForName(std::string_view name, const GDataXMLElementPtr& element) {
    if (!element) return nullptr;
    auto attr = element->attributeForName(name);
    handleParsedAttribute(attr);
    return attr;
}

GDataXMLNodePtr GDataObject::attributeForLocalName(std::string_view localName, std::string_view URI,
                                                   const GDataXMLElementPtr& element) {
    if (!element) return nullptr;
    auto attr = element->attributeForLocalName(localName, URI);
    handleParsedAttribute(attr);
    return attr;
}

std::optional<std::string> GDataObject::takeAttributeValue(const GDataXMLNode& attr) {
    markConsumed(&attr, true);
    if (auto quick = attr.simpleContent()) return std::string(*quick);
    return attr.stringValue();
}

std::optional<std::string> GDataObject::stringForAttributeName(std::string_view name,
                                                               const GDataXMLElementPtr& element) {
    std::optional<std::string> value;
    if (element) element->visitAttributeForName(name, [&](const GDataXMLNode& attr) { value = takeAttributeValue(attr); });
    return value;
}

std::optional<std::string> GDataObject::stringForAttributeLocalName(std::string_view localName, std::string_view URI,
                                                                    const GDataXMLElementPtr& element) {
    std::optional<std::string> value;
    if (element)
        element->visitAttributeForLocalName(localName, URI,
                                            [&](const GDataXMLNode& attr) { value = takeAttributeValue(attr); });
    return value;
}

std::optional<GDataDateTime> GDataObject::dateTimeForAttributeName(std::string_view name,
                                                                   const GDataXMLElementPtr& element) {
    auto s = stringForAttributeName(name, element);
    if (!s || s->empty()) return std::nullopt;
    return GDataDateTime::dateTimeWithRFC3339String(*s);
}

bool GDataObject::boolForAttributeName(std::string_view name, const GDataXMLElementPtr& element) {
    auto s = stringForAttributeName(name, element);
    return s && platform::asciiEqualsIgnoringCase(*s, "true");
}

std::optional<double> GDataObject::doubleNumberForAttributeName(std::string_view name,
                                                                const GDataXMLElementPtr& element) {
    auto s = stringForAttributeName(name, element);
    if (!s) return std::nullopt;
    return GDataUtilities::doubleNumberOrInfForString(*s);
}

std::optional<int32_t> GDataObject::intNumberForAttributeName(std::string_view name,
                                                              const GDataXMLElementPtr& element) {
    auto s = stringForAttributeName(name, element);
    if (!s) return std::nullopt;
    return gdataLeadingInt32(*s);
}

void GDataObject::parseExtensionsForElement(const GDataXMLElementPtr& element, const ParseFrame& frame) {
    // The declarations this object reads, gathered once for its chain of classes.
    const auto& gathered = frame.cache->gathered(*frame.chain);
    if (gathered.declarations.empty()) return;
    // The element children, read once through passing views: local name and namespace URI as
    // libxml2 holds them. Declared classes absent from the element are skipped without a search,
    // and present ones are matched against this list instead of searching the children again
    // per class; only a matched child gets a wrapper, for the object parsed from it. libxml2
    // keeps an element's unprefixed name in the node; a name not resolved to a namespace keeps
    // its prefix, so its local part is taken after the last colon.
    struct ChildInfo {
        std::string_view local;
        std::optional<std::string_view> href;
        bool unprefixed;  // written without a prefix: the qualified name is the local name
        unsigned bucket;
        int32_t next;  // the next child of the same name bucket, -1 after the last
        const void* identity;
    };
    struct Children {
        platform::SmallVector<ChildInfo, 16> list;
    } children;
    auto& childInfo = children.list;
    // The visitor holds one reference, so that it is passed on without an allocation.
    element->forEachChild([&children](const GDataXMLNode& child) {
        if (child.kind() != GDataXMLNodeKind::Element) return;
        std::string_view name = child.storedName();
        if (name.empty()) return;
        auto href = child.namespaceURIView();
        bool unprefixed = child.hasQualifiedName(name);
        if (!href) {
            auto colon = name.rfind(':');
            if (colon != std::string_view::npos && colon + 1 < name.size()) name = name.substr(colon + 1);
        }
        children.list.push_back({name, href, unprefixed, nameBucket(name), -1, child.identity()});
    });
    // The children of each bucket, in document order.
    int32_t bucketFirst[64];
    std::fill(std::begin(bucketFirst), std::end(bucketFirst), -1);
    for (size_t i = childInfo.size(); i-- > 0;) {
        childInfo[i].next = bucketFirst[childInfo[i].bucket];
        bucketFirst[childInfo[i].bucket] = int32_t(i);
    }
    using Declaration = GDataExtensionDeclarationCache::Gathered::Declaration;
    auto isCandidate = [&](const Declaration& d) {
        if (d.localName == "*") return true;
        for (int32_t i = bucketFirst[d.nameBucket]; i >= 0; i = childInfo[i].next)
            if (childInfo[i].local == d.localName) return true;
        return false;
    };
    using MatchedChildren = platform::SmallVector<GDataXMLElementPtr, 2>;
    // The children the general search would find, or false when the quick match cannot decide
    // (unresolved names, or none found in the namespace), in which case the general search runs.
    // A class of no namespace matches the children written with its bare name, whatever their
    // namespace, as the search by qualified name does.
    auto quickMatch = [&](const Declaration& d, const char* uri, MatchedChildren& out) {
        const std::string_view ln = d.localName;
        if (ln == "*" || ln.find(':') != std::string_view::npos) return false;
        if (!uri) {
            for (int32_t i = bucketFirst[d.nameBucket]; i >= 0; i = childInfo[i].next) {
                const auto& c = childInfo[i];
                if (c.unprefixed && c.local == ln)
                    if (auto child = element->childElementWithIdentity(c.identity)) out.push_back(std::move(child));
            }
            return true;
        }
        const std::string_view uriView(uri);
        for (int32_t i = bucketFirst[d.nameBucket]; i >= 0; i = childInfo[i].next) {
            const auto& c = childInfo[i];
            if (c.local != ln) continue;
            if (!c.href) {  // an unresolved name: let the general search decide
                out.clear();
                return false;
            }
            if (*c.href == uriView)
                if (auto child = element->childElementWithIdentity(c.identity)) out.push_back(std::move(child));
        }
        return !out.empty();
    };
    auto hasAttribute = [&](const Declaration& d) {
        auto none = [](const GDataXMLNode&) {};
        return d.attributeByURI ? element->visitAttributeForLocalName(d.cls->extensionLocalName, d.cls->extensionURI, none)
                                : element->visitAttributeForName(*d.qualifiedName, none);
    };

    // The declarations the element may hold, in order; the slot list is sized once for them.
    platform::SmallVector<const Declaration*, 32> present;
    for (const auto& d : gathered.declarations) {
        if (d.isAttribute ? hasAttribute(d) : (!d.localName.empty() && isCandidate(d))) present.push_back(&d);
    }
    if (present.empty()) return;
    // Made for the parse; left unmade again when nothing was stored, as if never reserved.
    bool hadExtensions = hasExtensions_;
    hasExtensions_ = true;
    extensions_.edit().reserve(extensions_.size() + present.size());

    // The children parsed now see this object's frame.
    struct FrameScope {
        const ParseFrame* saved;
        explicit FrameScope(const ParseFrame* frame) : saved(currentParseFrame()) { currentParseFrame() = frame; }
        ~FrameScope() { currentParseFrame() = saved; }
    } scope(&frame);
    for (const Declaration* d : present) {
        const GDataClassInfo& x = *d->cls;
        // A class declared twice (by the class and by one above it) is parsed once.
        if (slotFor(x)) continue;
        const std::string& q = *d->qualifiedName;
        if (d->isAttribute) {
            auto value = d->attributeByURI ? stringForAttributeLocalName(x.extensionLocalName, x.extensionURI, element)
                                           : stringForAttributeName(q, element);
            if (value)
                if (auto made = x.make(); made && made->classInfo().isSubclassOf(GDataAttribute::staticClassInfo())) {
                    auto attr = std::static_pointer_cast<GDataAttribute>(std::move(made));
                    attr->setStringValue(std::move(*value));
                    setObject(attr, x);
                }
            continue;
        }
        std::optional<std::string_view> uri;
        if (x.extensionURI) uri = x.extensionURI;
        ParsedObjects objects;
        MatchedChildren matched;
        if (quickMatch(*d, x.extensionURI, matched))
            parseMatchedChildren(matched, q, uri, &x, objects);
        else
            objectOrArrayForChildren(element, q, uri, &x, objects);
        storeParsedObjects(objects, x);
    }
    if (!hadExtensions && extensions_.empty()) {
        hasExtensions_ = false;
        extensions_.clear();
    }
}

void GDataObject::storeParsedObjects(ParsedObjects& objects, const GDataClassInfo& cls) {
    if (objects.empty()) return;
    for (const auto& o : objects) ensureObjectHasXMLNameForExtensionClass(o, cls);
    hasExtensions_ = true;
    ExtensionObjects stored;
    stored.reserve(objects.size());
    for (auto& o : objects) stored.push_back(std::move(o));
    bool isList = stored.size() > 1;
    if (auto s = slotFor(cls)) {
        s->isList = isList;
        s->objects = std::move(stored);
        return;
    }
    extensions_.push_back(ExtensionSlot{&cls, isList, std::move(stored)});
}

void GDataObject::parseAttributesForElement(const GDataXMLElementPtr& element) {
    if (!attributeDeclarations_ || attributeDeclarations_->empty()) return;
    // Read through passing views: a parsed leaf's attributes never get wrappers of their own. The
    // declared ones are gathered first, so that the block takes them in one allocation.
    // The visitor captures one reference, so that it fits the function wrapper's own storage and
    // no allocation is made per element.
    struct Found {
        const std::string* name;
        std::string_view value;
    };
    struct Gathered {
        GDataObject* self;
        const GDataXMLElement* element;
        platform::SmallVector<Found, 8> found;
        std::vector<std::string> readWhole;  // values that are more than one plain text
        size_t textBytes = 0;
    } g{this, element.get(), {}, {}, 0};
    element->forEachAttribute([&g](const GDataXMLNode& attr) {
        auto& found = g.found;
        auto& readWhole = g.readWhole;
        const auto& element = g.element;
        if (attr.storedName().empty()) return;
        const std::string* declared = nullptr;
        for (const auto& d : *g.self->attributeDeclarations_) {
            if (attr.hasQualifiedName(d)) {
                declared = &d;
                break;
            }
        }
        if (!declared) return;
        std::optional<std::string_view> value = attr.simpleContent();
        if (!value) {
            if (auto whole = attr.stringValue()) {
                // Room for every attribute at the first, so no view taken before moves.
                if (readWhole.empty()) readWhole.reserve(element->attributeCount());
                readWhole.push_back(std::move(*whole));
                value = readWhole.back();
            }
        }
        if (value) {
            found.push_back({declared, *value});
            g.textBytes += declared->size() + value->size();
        }
        g.self->markConsumed(&attr, true);
    });
    if (g.found.empty()) return;
    const bool fresh = attributes_.empty();
    attributes_.reserveFor(g.found.size(), g.textBytes);
    for (const auto& f : g.found) {
        if (fresh) attributes_.append(*f.name, f.value);
        else attributes_.set(*f.name, f.value);
    }
}

void GDataObject::parseContentValueForElement(const GDataXMLElementPtr& element) {
    if (hasDeclaredContentValue()) contentValue_ = stringValueFromElement(element);
}

void GDataObject::keepChildXMLElementsForElement(const GDataXMLElementPtr& element) {
    if (!hasDeclaredChildXMLElements()) return;
    element->forEachChild([this](const GDataXMLNode& child) {
        if (child.kind() != GDataXMLNodeKind::Element) return;
        if (!mayKeep(child)) return;
        if (auto c = std::dynamic_pointer_cast<GDataXMLElement>(child.copy())) childXMLElements_.push_back(std::move(c));
        markConsumed(&child, false);
    });
}

// ---------------------------------------------------------------------------------------------
// Generation

void GDataObject::addStringValue(const GDataXMLElementPtr& element, std::string_view value) {
    if (!element) return;
    if (!GDataUtilities::stringHasControlsToFilter(value)) {
        element->addStringValue(value);
        return;
    }
    element->addStringValue(GDataUtilities::stringWithControlsFilteredForString(std::string(value)));
}

GDataXMLElementPtr GDataObject::elementWithNameAttribute(std::string_view name, std::string_view attributeName,
                                                         std::string_view attributeValue) {
    auto e = GDataXMLNode::elementWithName(name);
    if (!e) return nullptr;
    if (auto a = GDataXMLNode::attributeWithName(
            attributeName, GDataUtilities::stringWithControlsFilteredForString(std::string(attributeValue))))
        e->addAttribute(a);
    return e;
}

GDataXMLNodePtr GDataObject::addToElementAttributeValueIfNonNil(const GDataXMLElementPtr& element,
                                                                const std::optional<std::string>& value,
                                                                std::string_view name) {
    if (!value || !element) return nullptr;
    auto attr = GDataXMLNode::attributeWithName(name, GDataUtilities::stringWithControlsFilteredForString(*value));
    if (attr) element->addAttribute(attr);
    return attr;
}

GDataXMLNodePtr GDataObject::addToElementAttributeValueIfNonNil(const GDataXMLElementPtr& element,
                                                                const std::optional<std::string>& value,
                                                                std::string_view qualifiedName,
                                                                std::optional<std::string_view> URI) {
    if (!URI) return addToElementAttributeValueIfNonNil(element, value, qualifiedName);
    if (!value || !element) return nullptr;
    auto attr = GDataXMLNode::attributeWithName(qualifiedName, *URI,
                                                GDataUtilities::stringWithControlsFilteredForString(*value));
    if (attr) element->addAttribute(attr);
    return attr;
}

void GDataObject::addToElementAttributeValueWithInteger(const GDataXMLElementPtr& element, int64_t value,
                                                        std::string_view name) {
    addToElementAttributeValueIfNonNil(element, std::to_string(value), name);
}

GDataXMLElementPtr GDataObject::addToElementChildWithStringValueIfNonEmpty(const GDataXMLElementPtr& element,
                                                                           const std::optional<std::string>& value,
                                                                           std::string_view name) {
    if (!value || value->empty() || !element) return nullptr;
    auto child = GDataXMLDocumentBuilder::elementForBuilding(name);
    if (!child) return nullptr;
    child->addStringValue(*value);
    element->addChild(child);
    return child;
}

void GDataObject::addToElementXMLElementForObject(const GDataXMLElementPtr& element, const GDataExtensionPtr& object) {
    if (!element || !object) return;
    const auto& cls = object->classInfo();
    if (cls.isSubclassOf(GDataAttribute::staticClassInfo())) {
        auto attr = static_cast<const GDataAttribute*>(object.get());
        std::optional<std::string_view> uri;
        if (cls.extensionURI) uri = cls.extensionURI;
        std::string scratch;
        if (attr->stringValue())
            element->addAttributeWithName(qualifiedNameForExtensionClass(cls), uri,
                                          std::string(filteredForWriting(*attr->stringValue(), scratch)));
        return;
    }
    if (cls.isSubclassOf(GDataObject::staticClassInfo()))
        if (auto child = static_cast<const GDataObject&>(*object).XMLElement()) element->adoptChild(std::move(child));
}

void GDataObject::addNamespacesToElement(const GDataXMLElementPtr& element) const {
    for (const auto& [prefix, uri] : namespaces_)
        if (auto ns = GDataXMLNode::namespaceWithName(prefix, uri)) element->addNamespace(ns);
}

void GDataObject::addAttributesToElement(const GDataXMLElementPtr& element) const {
    std::string scratch;
    for (const auto& [name, value] : attributes_)
        element->addAttributeWithName(std::string(name), std::nullopt, std::string(filteredForWriting(value, scratch)));
}

void GDataObject::addContentValueToElement(const GDataXMLElementPtr& element) const {
    if (hasDeclaredContentValue() && !contentValue_.view().empty()) addStringValue(element, contentValue_.view());
}

void GDataObject::addChildXMLElementsToElement(const GDataXMLElementPtr& element) const {
    if (!hasDeclaredChildXMLElements()) return;
    for (const auto& child : childXMLElements_) element->addChild(child);
}

void GDataObject::addExtensionsToElement(const GDataXMLElementPtr& element) const {
    willReadExtensions(nullptr);
    for (const auto& slot : extensions_)
        for (const auto& o : slot.objects) addToElementXMLElementForObject(element, o);
}

void GDataObject::addUnknownChildNodesToElement(const GDataXMLElementPtr& element) const {
    if (shouldIgnoreUnknowns_) return;
    flushConsumed();
    for (const auto& child : unparsed(false)) element->addChild(child);
    // An attribute the element already has (the same namespace and local name) is not added
    // again; "x:etag" or a plain "etag" beside "gd:etag" are other attributes and are kept.
    for (const auto& attr : unparsed(true)) element->addAttribute(attr);
}

GDataXMLElementPtr GDataObject::XMLElementWithExtensionsAndDefaultName(
    const std::optional<std::string>& defaultName) const {
    std::string name = ownElementName();
    if (name.empty()) {
        if (defaultName) name = *defaultName;
        else if (classInfo().isExtension()) name = qualifiedNameForExtensionClass(classInfo());
        else name = classInfo().name;
    }
    auto element = GDataXMLDocumentBuilder::elementForBuilding(name);
    if (!element) return nullptr;
    addNamespacesToElement(element);
    addAttributesToElement(element);
    addContentValueToElement(element);
    addChildXMLElementsToElement(element);
    addExtensionsToElement(element);
    addUnknownChildNodesToElement(element);
    return element;
}

GDataXMLElementPtr GDataObject::XMLElement() const { return XMLElementWithExtensionsAndDefaultName(std::nullopt); }

// The same steps as XMLElementWithExtensionsAndDefaultName, in the order the tree takes them: an
// element's attributes (its own, then attribute extensions, then unparsed ones) before its
// children (content, kept XML, element extensions, unparsed nodes).
void GDataObject::writeXMLStart(GDataXMLWriter& writer, std::optional<std::string_view> defaultName) const {
    std::string_view name = ownElementName();
    if (name.empty()) {
        if (defaultName) name = *defaultName;
        else if (classInfo().isExtension()) name = qualifiedNameForExtensionClass(classInfo());
        else name = classInfo().name;
    }
    writer.startElement(name);
    for (const auto& [prefix, uri] : namespaces_) writer.declareNamespace(prefix, uri);
    std::string scratch;
    for (const auto& [attributeName, value] : attributes_)
        writer.addAttribute(attributeName, filteredForWriting(value, scratch));
    willReadExtensions(nullptr);
    for (const auto& slot : extensions_)
        for (const auto& o : slot.objects) {
            if (!o || !o->classInfo().isSubclassOf(GDataAttribute::staticClassInfo())) continue;
            const auto& cls = o->classInfo();
            const auto& value = static_cast<const GDataAttribute&>(*o).stringValue();
            if (!value) continue;
            if (cls.extensionURI)
                writer.addAttribute(qualifiedNameForExtensionClass(cls), cls.extensionURI,
                                    filteredForWriting(*value, scratch));
            else
                writer.addAttribute(qualifiedNameForExtensionClass(cls), filteredForWriting(*value, scratch));
        }
    if (shouldIgnoreUnknowns_) return;
    flushConsumed();
    for (const auto& attr : unparsed(true))
        if (attr) writer.addKeptAttribute(*attr);
}

void GDataObject::writeXMLChildren(GDataXMLWriter& writer) const {
    if (hasDeclaredContentValue() && !contentValue_.view().empty()) {
        std::string scratch;
        writer.addText(filteredForWriting(contentValue_.view(), scratch));
    }
    if (hasDeclaredChildXMLElements())
        for (const auto& child : childXMLElements_)
            if (child) writer.addKeptNode(*child);
    willReadExtensions(nullptr);
    for (const auto& slot : extensions_)
        for (const auto& o : slot.objects)
            if (o && o->classInfo().isSubclassOf(GDataObject::staticClassInfo()))
                static_cast<const GDataObject&>(*o).writeXML(writer);
    if (shouldIgnoreUnknowns_) return;
    for (const auto& child : unparsed(false))
        if (child) writer.addKeptNode(*child);
}

void GDataObject::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, std::nullopt);
    writeXMLChildren(writer);
    writer.endElement();
}

std::optional<platform::Bytes> GDataObject::writtenXMLData() const {
    GDataXMLWriter writer;
    // Written apart from its document, the object keeps the bindings its ancestors made for it:
    // a feed declares the prefixes its entries use.
    if (auto p = parent())
        for (const auto& [prefix, uri] : p->completeNamespaces()) writer.inheritNamespace(prefix, uri);
    writeXML(writer);
    return writer.finish();
}

namespace {

// The namespaces the model writes under their usual prefixes.
constexpr std::pair<const char*, const char*> kStandardNamespaces[] = {
    {kGDataNamespaceGDataPrefix, kGDataNamespaceGDataURI},   {kGDataNamespaceContactPrefix, kGDataNamespaceContactURI},
    {kGDataNamespaceBatchPrefix, kGDataNamespaceBatchURI},   {kGDataNamespaceAtomPubPrefix, kGDataNamespaceAtomPubURI},
    {kGDataNamespaceOpenSearchPrefix, kGDataNamespaceOpenSearchURI}, {kGDataNamespaceACLPrefix, kGDataNamespaceACLURI},
    {kGDataNamespaceMediaPrefix, kGDataNamespaceMediaURI},   {kGDataNamespaceGeoRSSPrefix, kGDataNamespaceGeoRSSURI},
    {kGDataNamespaceGMLPrefix, kGDataNamespaceGMLURI},       {kGDataNamespaceGeoW3CPrefix, kGDataNamespaceGeoW3CURI},
    {kGDataNamespaceXHTMLPrefix, kGDataNamespaceXHTMLURI},
};

}  // namespace

const std::vector<std::pair<const char*, const char*>>& GDataObject::standardNamespaces() {
    static const std::vector<std::pair<const char*, const char*>> table(std::begin(kStandardNamespaces),
                                                                         std::end(kStandardNamespaces));
    return table;
}

// Elements and attributes are named with literal prefixes ("gd:email") that the tree resolves
// when the prefix is declared where they are grafted. An entry written on its own (its feed
// declared the prefixes), or an element added where its namespace has another prefix, leaves
// such names unbound; the document binds each to the URI the object knows for the prefix (its
// own and its ancestors' declarations, else the usual one).
std::shared_ptr<GDataXMLDocument> GDataObject::builtXMLDocument() const {
    GDataXMLDocumentBuilder builder;
    auto root = XMLElement();
    if (!root) return nullptr;
    return builder.documentAdoptingRootElement(std::move(root), completeNamespaces(), standardNamespaces());
}

std::shared_ptr<GDataXMLDocument> GDataObject::XMLDocument() const {
    auto self = std::static_pointer_cast<const GDataObject>(weak_from_this().lock());
    if (!self) return builtXMLDocument();
    GDataXMLDocument::Source source;
    source.write = [self]() -> std::optional<platform::Bytes> {
        GDataXMLWriter writer;
        self->writeXML(writer);
        if (auto written = writer.finish()) return written;
        // A text XML cannot hold: no other way of writing it does better (empty: none).
        if (writer.refused()) return platform::Bytes();
        return self->streamedXMLData();
    };
    source.build = [self] { return self->builtXMLDocument(); };
    return GDataXMLDocument::documentWithSource(std::move(source));
}

// ---------------------------------------------------------------------------------------------
// Copy, equality, description

GDataExtensionPtr GDataObject::copy() const {
    auto fresh = std::dynamic_pointer_cast<GDataObject>(classInfo().make());
    if (!fresh) return nullptr;
    copyStateTo(*fresh);
    return fresh;
}

void GDataObject::copyStateTo(GDataObject& t) const {
    flushConsumed();
    willReadExtensions(nullptr);
    t.setOwnElementName(ownElementName());
    t.serviceVersion_ = serviceVersion_;
    t.namespaces_ = namespaces_;
    t.hasExtensions_ = hasExtensions_;
    t.extensions_.clear();
    if (!extensions_.empty()) {
        t.extensions_.edit().reserve(extensions_.size());
        for (const auto& slot : extensions_) {
            ExtensionSlot copySlot{slot.cls, slot.isList, {}};
            copySlot.objects.reserve(slot.objects.size());
            for (const auto& o : slot.objects)
                if (o)
                    if (auto c = o->copy()) copySlot.objects.push_back(std::move(c));
            t.extensions_.push_back(std::move(copySlot));
        }
    }
    t.attributes_ = attributes_;
    // The class's list is shared; a list of this object's own is copied.
    if (rare_ && rare_->attributeDeclarations && attributeDeclarations_ == rare_->attributeDeclarations.get())
        t.setAttributeDeclarations(*attributeDeclarations_);
    else
        t.attributeDeclarations_ = attributeDeclarations_;
    if (hasDeclaredContentValue()) t.contentValue_ = contentValue_;
    if (hasDeclaredChildXMLElements()) {
        t.childXMLElements_.clear();
        for (const auto& e : childXMLElements_)
            if (auto c = e->copy()) t.childXMLElements_.push_back(c);
    }
    t.shouldIgnoreUnknowns_ = shouldIgnoreUnknowns_;
    t.unparsed_.reset();
    if (!shouldIgnoreUnknowns_) {
        for (const auto& n : unparsed(false))
            if (auto c = n->copy()) t.editUnparsed(false).push_back(c);
        for (const auto& n : unparsed(true))
            if (auto c = n->copy()) t.editUnparsed(true).push_back(c);
    }
}

bool GDataObject::hasAttributesEqualToAttributesOf(const GDataObject& other) const {
    auto ignored = attributesIgnoredForEquality();
    if (!ignored) return attributes_.sameAttributesAs(other.attributes_);
    if (!attributeDeclarations_) return true;
    for (const auto& name : *attributeDeclarations_) {
        if (name == kContentMarker || name == kChildXMLMarker) continue;
        if (std::find(ignored->begin(), ignored->end(), name) != ignored->end()) continue;
        if (stringValueForAttribute(name) != other.stringValueForAttribute(name)) return false;
    }
    return true;
}

bool GDataObject::isEqual(const GDataExtension& otherExt) const {
    if (this == &otherExt) return true;
    auto other = dynamic_cast<const GDataObject*>(&otherExt);
    if (!other || !other->classInfo().isSubclassOf(classInfo())) return false;

    // Extensions: a missing dictionary equals only a missing one.
    willReadExtensions(nullptr);
    other->willReadExtensions(nullptr);
    if (hasExtensions_ != other->hasExtensions_) return false;
    if (hasExtensions_) {
        if (extensions_.size() != other->extensions_.size()) return false;
        for (const auto& slot : extensions_) {
            auto os = other->slotFor(*slot.cls);
            if (!os || os->objects.size() != slot.objects.size()) return false;
            for (size_t i = 0; i < slot.objects.size(); ++i)
                if (!extensionsEqual(slot.objects[i], os->objects[i])) return false;
        }
    }
    if (!hasAttributesEqualToAttributesOf(*other)) return false;
    if (hasDeclaredContentValue() && contentValue_ != other->contentValue_) return false;
    if (hasDeclaredChildXMLElements()) {
        if (childXMLElements_.size() != other->childXMLElements_.size()) return false;
        for (size_t i = 0; i < childXMLElements_.size(); ++i)
            if (!childXMLElements_[i]->isEqual(other->childXMLElements_[i])) return false;
    }
    return namespacesEqual(*other);
}

bool GDataObject::namespacesEqual(const GDataObject& other) const {
    if (dictionariesEqual(namespaces_, other.namespaces_)) return true;
    // Where a declaration sits is not content: a declaration that repeats the one in scope from
    // the parents is dropped when written, so it is read back from the parent. Each prefix either
    // side declares must mean the same namespace in both scopes.
    const auto mine = completeNamespaces();
    const auto theirs = other.completeNamespaces();
    auto sameMeaning = [&](const GDataStringDictionary& declared) {
        for (const auto& entry : declared) {
            const std::string* a = findIn(mine, entry.first);
            const std::string* b = findIn(theirs, entry.first);
            if (!a || !b || *a != *b) return false;
        }
        return true;
    };
    return sameMeaning(namespaces_.get()) && sameMeaning(other.namespaces_.get());
}

std::vector<std::string> GDataObject::itemsForDescription() const {
    std::vector<std::string> items;
    if (attributeDeclarations_) {
        for (const auto& name : *attributeDeclarations_) {
            if (name == kContentMarker || name == kChildXMLMarker) continue;
            if (auto v = stringValueForAttribute(name)) items.push_back(name + ":" + *v);
        }
    }
    if (hasDeclaredContentValue() && contentValue_) items.push_back("content:" + std::string(contentValue_.view()));
    if (hasDeclaredChildXMLElements() && !childXMLElements_.empty()) {
        std::string xml;
        for (const auto& e : childXMLElements_) xml += e->XMLString().value_or("");
        items.push_back("XML:" + xml);
    }
    return items;
}

std::optional<std::string> GDataObject::labelAdjustedForVersion(const std::string& label) const {
    // "version>=3.0:label" or "version<=2.0:label"
    for (const char* op : {"version>=", "version<="}) {
        if (!platform::hasPrefix(label, op)) continue;
        auto rest = std::string_view(label).substr(9);
        auto colon = rest.find(':');
        if (colon == std::string_view::npos || colon == 0) return label;
        std::string version(rest.substr(0, colon));
        auto tail = rest.substr(colon + 1);
        auto nl = tail.find('\n');
        std::string text(tail.substr(0, nl));
        bool ok = op[7] == '>' ? isServiceVersionAtLeast(version) : isServiceVersionAtMost(version);
        if (ok) return text;
        return std::nullopt;
    }
    return label;
}

void GDataObject::addDescriptionRecords(const std::vector<GDataDescriptionRecord>& records,
                                        std::vector<std::string>& items) const {
    for (const auto& r : records) {
        if (r.label.empty()) break;
        auto label = labelAdjustedForVersion(r.label);
        if (!label) continue;
        switch (r.kind) {
            case GDataDescriptionRecord::kValue:
                if (r.value)
                    if (auto v = r.value()) items.push_back(*label + ":" + *v);
                break;
            case GDataDescriptionRecord::kLabel:
                if (r.value && r.value()) items.push_back(*label);
                break;
            case GDataDescriptionRecord::kArrayCount:
                if (r.count && r.count() > 0) items.push_back(*label + ":" + std::to_string(r.count()));
                break;
            case GDataDescriptionRecord::kArrayValues:
                if (r.count && r.count() > 0 && r.value)
                    if (auto v = r.value()) items.push_back(*label + ":" + *v);
                break;
            case GDataDescriptionRecord::kBool:
                if (r.flag) items.push_back(*label + ":" + (r.flag() ? "YES" : "NO"));
                break;
            case GDataDescriptionRecord::kBoolIfTrue:
                if (r.flag && r.flag()) items.push_back(*label + ":YES");
                break;
            case GDataDescriptionRecord::kStringLength:
                if (r.value)
                    if (auto v = r.value(); v && !v->empty()) items.push_back(*label + ":#" + std::to_string(v->size()));
                break;
            case GDataDescriptionRecord::kLiteral:
                items.push_back(*label + ":" + r.literal);
                break;
        }
    }
}

std::string GDataObject::description() const {
    flushConsumed();
    auto items = itemsForDescription();
    if (!unparsed(false).empty()) {
        std::set<std::string> names;
        for (const auto& n : unparsed(false)) names.insert("<" + n->name().value_or("") + ">");
        items.push_back("unparsed:" + platform::join(std::vector<std::string>(names.begin(), names.end()), ","));
    }
    if (!unparsed(true).empty()) {
        std::vector<std::string> names;
        for (const auto& n : unparsed(true)) names.push_back(n->name().value_or(""));
        items.push_back("unparsedAttr:" + platform::join(names, ","));
    }
    std::string head = std::string(classInfo().name) + " " + platform::addressText(this);
    if (items.empty()) return head;
    return head + ": {" + platform::join(items, " ") + "}";
}

// ---------------------------------------------------------------------------------------------
// Kind registry and class choice (kept in GDataClassRegistry)

void GDataObject::registerClass(const GDataClassInfo& cls, GDataKindMap& map, const std::optional<std::string>& scheme,
                                const std::optional<std::string>& term) {
    GDataClassRegistry::registerClass(cls, map, scheme, term);
}

const GDataClassInfo* GDataObject::classForCategoryWithScheme(const std::optional<std::string>& scheme,
                                                             const std::optional<std::string>& term,
                                                             const GDataKindMap& map) {
    return GDataClassRegistry::classForCategoryWithScheme(scheme, term, map);
}

const GDataClassInfo* GDataObject::objectClassForXMLElement(const GDataObject* caller,
                                                            const GDataXMLElementPtr& element) {
    return GDataClassRegistry::classForXMLElement(caller, element);
}

}  // namespace quorvane
