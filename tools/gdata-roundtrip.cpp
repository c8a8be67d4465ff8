// gdata-roundtrip FILE
//
// Parses a contacts or groups feed (or a single entry) through the GData model, prints one line
// per entry on standard error (class, identifier, name, and the counts of e-mail addresses,
// phone numbers and groups), and writes the XML regenerated from the objects on standard output.
// Exits 1 with a message on standard error when the file cannot be read or is not a feed or
// entry, 2 on a usage error.

#include <cstdio>
#include <string>
#include <vector>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataEntryContactGroup.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataXMLDocument.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

using namespace quorvane;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "gdata-roundtrip: %s\n", message.c_str());
    return 1;
}

std::string nameOf(const GDataEntryBase& entry) {
    if (auto contact = dynamic_cast<const GDataEntryContactBase*>(&entry)) {
        if (auto name = contact->name())
            if (auto full = name->fullName())
                if (auto v = full->stringValue()) return *v;
    }
    if (auto title = entry.title())
        if (auto v = title->stringValue()) return *v;
    return "";
}

std::string summary(const GDataEntryBase& entry) {
    std::string line = std::string(entry.classInfo().name) + "  id=" + entry.identifier().value_or("-");
    line += "  name=\"" + nameOf(entry) + "\"";
    if (auto contact = dynamic_cast<const GDataEntryContactBase*>(&entry)) {
        line += "  emails=" + std::to_string(contact->emailAddresses().size());
        line += "  phones=" + std::to_string(contact->phoneNumbers().size());
        if (auto person = dynamic_cast<const GDataEntryContact*>(&entry))
            line += "  groups=" + std::to_string(person->groupMembershipInfos().size());
    } else if (auto group = dynamic_cast<const GDataEntryContactGroup*>(&entry)) {
        if (auto system = group->systemGroup()) line += "  system=" + system->identifier().value_or("");
    }
    if (entry.isDeleted()) line += "  deleted";
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
        std::fprintf(stderr,
                     "usage: gdata-roundtrip FILE\n"
                     "Parses a contacts or groups feed (or entry), lists its entries on standard error\n"
                     "and writes the regenerated XML on standard output.\n");
        return 2;
    }
    std::string path = argv[1];
    std::string text;
    if (!platform::readFile(path, text)) return fail(path + ": cannot be read");

    // The XML layer reports the parser's own words at debug level: keep them for the message.
    std::vector<std::string> parserMessages;
    platform::Log::setMinimumLevel(platform::LogLevel::Debug);
    platform::Log::setSink([&](platform::LogLevel level, std::string_view category, std::string_view message) {
        if (category == "GDataXML") parserMessages.emplace_back(message);
        else if (level >= platform::LogLevel::Warning)
            std::fprintf(stderr, "[%.*s] %.*s\n", int(category.size()), category.data(), int(message.size()),
                         message.data());
    });

    registerContactClasses();
    auto document = GDataXMLDocument::initWithXMLString(text).valueOr(nullptr);
    if (!document || !document->rootElement()) {
        std::string detail = parserMessages.empty() ? "" : " (" + parserMessages.front() + ")";
        return fail(path + ": not well-formed XML" + detail);
    }
    auto root = document->rootElement();
    const GDataClassInfo* cls = GDataObject::objectClassForXMLElement(nullptr, root);
    auto local = root->localName().value_or("");
    if (!cls || (local != "feed" && local != "entry"))
        return fail(path + ": the root element <" + root->name().value_or("") + "> is neither a feed nor an entry");

    auto object = GDataObject::objectWithXMLElement(*cls, root, nullptr);
    if (!object) return fail(path + ": the " + local + " could not be read");

    size_t count = 0;
    if (auto feed = std::dynamic_pointer_cast<GDataFeedBase>(object)) {
        if (feed->entries())
            for (const auto& entry : *feed->entries()) {
                std::fprintf(stderr, "%s\n", summary(*entry).c_str());
                ++count;
            }
    } else if (auto entry = std::dynamic_pointer_cast<GDataEntryBase>(object)) {
        std::fprintf(stderr, "%s\n", summary(*entry).c_str());
        count = 1;
    }

    auto out = object->XMLDocument();
    auto data = out ? out->XMLData() : std::nullopt;
    if (!data) return fail(path + ": the XML could not be written");
    std::fwrite(data->data(), 1, data->size(), stdout);
    std::fprintf(stderr, "%s: %zu %s, %s\n", path.c_str(), count, count == 1 ? "entry" : "entries", cls->name);
    return 0;
}
