#pragma once
// Whether a local contact's texts can go to the provider: every text of a Google entry is XML,
// which holds only well-formed UTF-8. The characters XML forbids but UTF-8 carries (controls,
// U+FFFE) an entry drops when it is written; text that is not UTF-8 at all (a contact written by
// another program may hold anything) cannot be read as any text for sure: such a contact is not
// sent (it fails alone with this reason) rather than guessed at, which would change the user's
// data on both sides.

#include <optional>
#include <string>

#include "platform/contacts/CNContact.h"

namespace quorvane {

// "the family name holds text that cannot be sent (byte 0xFF at 3 is not UTF-8)" for the first
// field that holds such text; nullopt when every text can be sent.
std::optional<std::string> unsendableContactText(const platform::CNContact& contact);

// Why a local contact may be neither sent nor written over: a stored value of it could not be read
// ("the stored phone numbers cannot be read", read as empty they would wipe that list on both
// sides), or it holds text that is not UTF-8 (unsendableContactText). nullopt when neither.
std::optional<std::string> unusableLocalContact(const platform::CNContact& contact);

}  // namespace quorvane
