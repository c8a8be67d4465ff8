#pragma once
// The contact fields the sync carries, one row per field: its local contact keys, its conversion
// to Google, its conversion to local and its comparison with the code a difference gets. The
// three field-by-field operations of QuorvaneModel (updateGoogleContact, updateAppleContact and
// contactsDifferWithAppleContact) walk these rows in order, so a field has its three forms side
// by side in ContactFieldTable.cpp and cannot be carried one way and forgotten the other.
//
// Every key of a local contact is either carried by exactly one row or listed, with the reason,
// among the keys no row carries; the tests walk the contact's key list to hold that.
//
// The table is static: walking it allocates nothing, and each row is one call through a plain
// function pointer, so the comparison of a pair costs what its fields cost.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class QuorvaneModel;
class GDataEntryContact;
class NSSyncRecord;

// A local contact written into a Google entry.
struct ContactFieldToGoogle {
    QuorvaneModel& model;
    const std::shared_ptr<GDataEntryContact>& google;  // changed in place
    const platform::CNContact& apple;                  // carries every key it is read by
    const NSSyncRecord& record;
    bool merge;    // the record's merge flag: lists merge, and the note is written only when real
    bool created;  // the Google contact is new
    bool replace;  // not merge, or created: single fields are written even when empty
};

// A Google entry written into a local contact.
struct ContactFieldToLocal {
    QuorvaneModel& model;
    const platform::CNMutableContactPtr& apple;  // changed in place
    const std::shared_ptr<GDataEntryContact>& google;
    bool merge;
    bool created;
    bool replace;
    bool exchange;        // the contact is (or goes) in an Exchange account, with its list limits
    bool googleHadPhoto;  // the history shows Google had a photo

    // Merging keeps the stored values of a list, which it must have read to keep.
    bool writesList(const char* key) const { return !merge || apple->isKeyAvailable(key); }
};

// A local contact compared with a Google entry.
struct ContactFieldCompare {
    QuorvaneModel& model;
    const platform::CNContactPtr& apple;        // as fetched for the comparison
    const platform::CNContactPtr& actualApple;  // as stored: its account decides some rules
    const std::shared_ptr<GDataEntryContact>& google;
};

struct ContactFieldRow {
    const char* name;
    std::span<const char* const> keys;  // the local contact keys the row reads and writes
    ContactDifference difference;       // the comparison's code when the row's values differ
    void (*toGoogle)(const ContactFieldToGoogle&);
    void (*toLocal)(const ContactFieldToLocal&);
    // true when the two sides differ; nullptr for a field the comparison leaves to another
    // decision (the photo, which the plan compares through the history).
    bool (*differs)(const ContactFieldCompare&);
};

// The name parts of a Google contact as the comparison reads them (each element's text).
struct GoogleNameParts {
    std::optional<std::string> given, additional, family, prefix, suffix;
};
// The first test of the name row: whether the local contact's name parts differ from these.
// When they do, the row (and so the comparison, the name being its first row) finds the name
// differs, whatever else the entry holds.
bool namePartsDiffer(QuorvaneModel& model, const platform::CNContact& apple, const GoogleNameParts& google);

// A local contact key that no row carries, and why.
struct ContactFieldNotCarried {
    const char* key;
    const char* reason;
};

// The rows in the order the three operations walk them: the comparison's order, so the first
// differing field decides the code.
std::span<const ContactFieldRow> contactFieldTable();
std::span<const ContactFieldNotCarried> contactFieldsNotCarried();

// One-to-one placement of localCount entries on googleCount entries: true when every local entry
// finds a Google entry, not taken before, that matches(localIndex, googleIndex).
template <typename Matches>
bool placeAll(size_t localCount, size_t googleCount, Matches matches) {
    if (localCount == 0) return true;
    std::vector<bool> used(googleCount, false);
    for (size_t i = 0; i < localCount; ++i) {
        bool placed = false;
        for (size_t j = 0; j < googleCount; ++j) {
            if (used[j] || !matches(i, j)) continue;
            used[j] = true;
            placed = true;
            break;
        }
        if (!placed) return false;
    }
    return true;
}

}  // namespace quorvane
