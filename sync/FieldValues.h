#pragma once
// What one side of a pair holds, field by field, as a small digest per value: enough to tell a
// value removed since the last run from one that was never there, kept in the sync history for
// each side of each pair.
//
// A value's digest is taken from what the merge takes as equal (an e-mail address or a phone
// number letter case and punctuation aside, an event by its day), the same on both sides, so a
// value written one way and read back the other has one digest. Fixed forever: the history
// compares it with digests stored by earlier runs.
//
// FieldMergeBase is what a merge judges against: for each side, the values the last run left
// there (its base). A merge then
//   - drops a value one side holds alone when the other side held it at the last run (removed there);
//   - copies it to the other side when neither side held it then (added since);
//   - leaves it where it is otherwise (the sides were apart at the last run and stay so);
// and gives a single-valued field the value of the side that changed it since.
// A record written before the history kept these values has no base for a side: a side unchanged
// since the last run (by its content digest) has its base in what it holds now; a changed one has
// none, and a value only it lacks is never copied back onto it.
//
// Groups holds the names of the contact's groups ("My Contacts" aside, which keeps rules of its
// own), judged like any value, a side unchanged by its group hash; a local account that keeps no
// groups records none on either side. Some fields' records are newer than the others': Groups,
// IMs and SocialProfiles by the service as well as the user name, and Addresses by region and
// country as well (ValueIdentity), whose earlier records (by the user name alone, by street, city
// and postal code alone) are kept apart from the others: a value is judged by them as far as they
// tell (a value whose earlier identity a side did not hold then was added there since; one it held
// and no longer holds in any form, removed there), and is otherwise left where it is.
//
// Beside its identity each value of a list has a version: the identity with its details (its
// label, in the provider's form), as the comparison tells two values of one identity apart. A
// label changed on one side is judged by the versions as a value is by its identity: the side
// that changed it keeps it, and it goes to the other side. Records written before versions were
// kept know none (versionsKnown() false): a side unchanged since holds them still.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Calendar.h"

namespace quorvane {

enum class MergeField : uint8_t {
    Name, Nickname, Emails, Phones, Addresses, Birthday, URLs, Relations, IMs, Events, SocialProfiles, Note, Organization,
    Groups,
};
inline constexpr size_t kMergeFieldCount = 14;

// What one value of a list is: its identity (nullopt for a blank value), its version (the identity
// with its label) and, for the fields recorded first by an older rule, its identity by that rule.
struct ValueKeys {
    std::optional<uint32_t> id, version, older;
};

class FieldValues {
public:
    void add(MergeField field, std::optional<uint32_t> key) {
        if (key) push(size_t(field), *key);
    }
    // A value of a list as it is held now, with its version and its older identity.
    void add(MergeField field, const ValueKeys& value);
    // Sorts each field's digests; done before any lookup.
    void finish();
    std::span<const uint32_t> of(MergeField field) const {
        return std::span<const uint32_t>(keys_).subspan(begin(size_t(field)), count(size_t(field)));
    }
    bool has(MergeField field, uint32_t key) const;
    std::span<const uint32_t> versionsOf(MergeField field) const { return slot(kVersions, field); }
    bool hasVersion(MergeField field, uint32_t version) const { return contains(slot(kVersions, field), version); }
    bool versionsKnown() const { return versionsKnown_; }
    // The identities by the older rule: read from a record that kept the field so (olderKnown), or
    // of values held now.
    bool olderKnown(MergeField field) const { return olderKnown_ >> size_t(field) & 1; }
    bool hasOlder(MergeField field, uint32_t older) const { return contains(slot(kOlder, field), older); }
    // The older identity of a value held now, by its identity.
    std::optional<uint32_t> olderOf(MergeField field, uint32_t key) const;
    // Whether the field was recorded: always, but for the newer fields, once recorded by their rule.
    bool known(MergeField field) const { return !isNewer(field) || (newerKnown_ >> size_t(field) & 1); }
    // Every field recorded.
    bool whole() const;
    void knowGroups() { know(MergeField::Groups); }
    bool operator==(const FieldValues&) const = default;

    // The stored form: per field with values, its number, its count and the digests, little-endian.
    std::string encode() const;
    // nullopt for bytes that are not such a form.
    static std::optional<FieldValues> decode(std::string_view bytes);

private:
    friend struct FieldMergeBase;
    // Slots: a field's identities at its number, its versions at kVersions + number, its older
    // identities at kOlder + number.
    static constexpr size_t kVersions = kMergeFieldCount, kOlder = 2 * kMergeFieldCount, kSlots = 3 * kMergeFieldCount;
    size_t begin(size_t slot) const { return slot ? ends_[slot - 1] : 0; }
    size_t count(size_t slot) const { return ends_[slot] - begin(slot); }
    std::span<const uint32_t> slot(size_t base, MergeField field) const {
        return std::span<const uint32_t>(keys_).subspan(begin(base + size_t(field)), count(base + size_t(field)));
    }
    static bool contains(std::span<const uint32_t> sorted, uint32_t key);
    void push(size_t slot, uint32_t key);
    static bool isNewer(MergeField field) {
        return field == MergeField::Groups || field == MergeField::IMs || field == MergeField::SocialProfiles ||
               field == MergeField::Addresses;
    }
    void know(MergeField field, bool known = true) {
        if (known) newerKnown_ |= uint32_t(1) << size_t(field);
        else newerKnown_ &= ~(uint32_t(1) << size_t(field));
    }
    // Every field's digests one after the other (a history holds two of these per pair): field f's
    // end at ends_[f].
    std::vector<uint32_t> keys_;
    std::array<uint32_t, kSlots> ends_{};
    // Of values held now: (field << 32 | identity, older identity), sorted.
    std::vector<std::pair<uint64_t, uint32_t>> olderByKey_;
    bool versionsKnown_ = false;
    uint32_t olderKnown_ = 0;
    // Bit f: newer field f recorded. Groups once known; IMs, social profiles and addresses unless
    // read from a record by the older rule.
    uint32_t newerKnown_ = uint32_t(1) << size_t(MergeField::IMs) | uint32_t(1) << size_t(MergeField::SocialProfiles) |
                           uint32_t(1) << size_t(MergeField::Addresses);
};

// The digest of a value; nullopt for a blank one (which no side holds).
std::optional<uint32_t> textKey(const std::optional<std::string>& text);
// Blanks and "().-" aside.
std::optional<uint32_t> phoneKey(const std::optional<std::string>& number);
// Several parts as one value; nullopt when every part is blank.
std::optional<uint32_t> partsKey(std::initializer_list<std::optional<std::string>> parts);
// A day: year (none for an unset year or the no-year year), month and day.
std::optional<uint32_t> dayKey(const std::optional<platform::DateComponents>& day);

// What becomes of a value one side holds and the other lacks.
enum class ValueFate { Keep, Drop, Copy };
// What a merge writes into a single-valued field of its destination: as without a base
// (Default), the source's value (Write, also when it is empty: Clear), or nothing (Keep).
enum class SingleFate { Default, Write, Clear, Keep };

struct FieldMergeBase {
    std::optional<FieldValues> apple, google;  // nullopt: not recorded
    bool appleUnchanged = false, googleUnchanged = false;  // since the last run, by content
    bool appleGroupsUnchanged = false, googleGroupsUnchanged = false;  // by group hash

    // Both sides recorded whole; and so, with neither side changed since. A record that is not
    // was written by an earlier version (or keeps no values), whatever it lacks.
    bool recorded() const { return apple && google && apple->whole() && google->whole(); }
    bool unchangedSince() const {
        return recorded() && appleUnchanged && googleUnchanged && appleGroupsUnchanged && googleGroupsUnchanged;
    }

    // Whether the side held the value at the last run: nullopt when that is not known. `older`
    // is the value's identity by the older rule, and `holdsOlderNow` whether the side holds a
    // value of that older identity now.
    std::optional<bool> held(bool local, MergeField field, uint32_t key, bool holdsNow,
                             std::optional<uint32_t> older = std::nullopt, bool holdsOlderNow = false) const;
    // Whether the side held this version of a value at the last run.
    std::optional<bool> heldVersion(bool local, MergeField field, uint32_t version, bool holdsNow) const;
    // The value is on the `local` side alone (or on the other side alone); `otherHoldsOlderNow`:
    // the other side holds a value of its older identity.
    ValueFate fate(bool local, MergeField field, uint32_t key, std::optional<uint32_t> older = std::nullopt,
                   bool otherHoldsOlderNow = false) const;
    // This version of a value is on the `local` side alone, the other side holding the value in
    // other versions (or as many times fewer).
    ValueFate versionFate(bool local, MergeField field, uint32_t version) const;
    // A single-valued field written from the source side into the other.
    SingleFate single(bool sourceLocal, MergeField field, std::optional<uint32_t> source,
                      std::optional<uint32_t> destination) const;
    // What the history keeps as the base of one side after a run: the values both sides hold,
    // those this side held alone at the last run and still does (or of a record without base,
    // every value it holds alone), and the values it removed that the other side still holds.
    // A value added on one side and not carried to the other is left out, so a later merge
    // carries it. `base` is nullptr for a pair without history.
    static FieldValues nextBase(const FieldValues& side, const FieldValues& other, const FieldMergeBase* base, bool local);
};

}  // namespace quorvane
