#pragma once
// Digests of what a contact holds, one per side, kept in the sync history so that a run tells a
// change by content: an edit made a second after the run that wrote the contact is seen, and a
// contact whose dates moved while its content stayed is not written again.
//
// Each digest is 64-bit FNV-1a over a canonical form of the contact, fixed forever (the history
// compares it with values stored by earlier runs), and read from the contact itself rather than
// from the field conversions of the sync, which may change:
// - a local contact: every stored field but its identifier, dates and photo, the labeled values
//   in order with their labels (not their identifiers);
// - a Google entry: its XML element tree by namespace URI and local name, attributes sorted, text
//   as it is, without what the provider sets on every write or what is kept apart in the history
//   (id, updated, edited, published, ETag, links, group memberships, batch elements).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "platform/contacts/CNContact.h"

namespace quorvane {

uint64_t localContentDigest(const platform::CNContact& contact);
// The digest of a local photo's bytes (FNV-1a); 0 for no photo.
uint64_t photoDigest(const std::optional<platform::Bytes>& photo);
uint64_t googleContentDigest(const GDataEntryContact& entry);
// The digest of an entry from the bytes it writes (writtenXMLData); nullopt when they do not parse.
std::optional<uint64_t> googleContentDigestOfXML(const platform::Bytes& bytes);
// The same read by the XML parser into a tree: the reference form, slower; googleContentDigestOfXML
// gives the same value.
std::optional<uint64_t> googleContentDigestOfParsedXML(const platform::Bytes& bytes);
// The same read without the parser from the plain XML the model writes; nullopt for anything else.
std::optional<uint64_t> googleContentDigestOfPlainXML(const platform::Bytes& bytes);
// The same digest read from the element tree the entry builds (XMLElement()): the reference form,
// slower; googleContentDigest gives the same value without the tree.
uint64_t googleContentDigestOfTree(const GDataEntryContact& entry);

// The values the provider kept shorter than they were sent: each text of `sent` missing from
// `kept` where `kept` holds a beginning of it in an element of the same name. Lengths in characters.
struct ShortenedValue {
    std::string element;  // the local name of the element that held it ("familyName")
    size_t sentLength = 0, keptLength = 0;
};
std::vector<ShortenedValue> valuesShortenedByProvider(const GDataEntryContact& sent, const GDataEntryContact& kept);

}  // namespace quorvane
