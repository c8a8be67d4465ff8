#pragma once
// The pairing search written the slow, obvious way: the history pair, the hash name, then every
// candidate tested in order. Kept only as the reference the indexed search must agree with.
// The changes from the first version: a phone number of nothing but punctuation and blanks pairs
// with nothing, a remembered partner already paired in this run is not taken a second time, and
// two contacts whose histories name other partners never pair.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Strings.h"
#include "sync/PairingIndex.h"
#include "sync/QuorvaneModel.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {

using GoogleContactPtr = std::shared_ptr<GDataEntryContact>;

inline bool referencePhonesPair(QuorvaneModel& m, const std::string& a, const std::string& b) {
    return !m.phoneNumbersEqualWithString1(a, std::string()) && m.phoneNumbersEqualWithString1(a, b);
}

inline bool referenceNamesEqual(QuorvaneModel& m, const PairingIndex::ContactFacts& a,
                                const PairingIndex::ContactFacts& b) {
    return m.stringsEqualWithString1(a.given, b.given) && m.stringsEqualWithString1(a.middle, b.middle) &&
           m.stringsEqualWithString1(a.family, b.family) && m.stringsEqualWithString1(a.prefix, b.prefix) &&
           m.stringsEqualWithString1(a.suffix, b.suffix);
}

inline bool referenceEmailsMeet(const std::vector<std::string>& longSide, const std::vector<std::string>& other) {
    for (const auto& x : longSide) {
        if (platform::utf16Length(x) < 7) continue;
        for (const auto& y : other) {
            if (platform::utf16Length(x) == platform::utf16Length(y) && platform::equalsIgnoringCase(x, y)) return true;
        }
    }
    return false;
}

inline bool referencePhonesMeet(QuorvaneModel& m, const std::vector<std::string>& longSide,
                                const std::vector<std::string>& other) {
    for (const auto& x : longSide) {
        if (platform::utf16Length(x) < 7) continue;
        for (const auto& y : other) {
            if (referencePhonesPair(m, x, y)) return true;
        }
    }
    return false;
}

// Both contacts have history, neither with the other.
inline bool referenceRecordedApart(QuorvaneModel& m, const platform::CNContactPtr& A, const GoogleContactPtr& G) {
    const auto& h = m.syncHistory();
    return h.hasRecordForAppleID(A->identifier()) && h.hasRecordForGoogleID(G->identifier()) &&
           !h.recordForPair(A->identifier(), G->identifier().value_or(""));
}

inline GoogleContactPtr referenceBestGoogleContact(QuorvaneModel& m, const platform::CNContactPtr& A) {
    if (!A) return nullptr;
    auto paired = m.syncHistory().pairedGoogleID(A->identifier());
    if (paired && !paired->empty() && internals(m).mGoogleContactDict.count(*paired) &&
        !m.isGoogleContactAlreadyMatched(internals(m).mGoogleContactDict[*paired])) {
        return internals(m).mGoogleContactDict[*paired];
    }
    auto skip = [&](const GoogleContactPtr& G) {
        return m.alreadyPairedWithAnotherAppleContactWithGoogleContact(G, A) || m.isGoogleContactAlreadyMatched(G) ||
               referenceRecordedApart(m, A, G);
    };
    auto hash = m.getAppleContactHashName(A);
    if (!hash.empty() && internals(m).mGoogleContactRecordIDsByHashName.count(hash)) {
        auto id = internals(m).mGoogleContactRecordIDsByHashName[hash];
        if (!id.empty() && internals(m).mGoogleContactDict.count(id) && !skip(internals(m).mGoogleContactDict[id])) return internals(m).mGoogleContactDict[id];
    }
    const auto a = PairingIndex::factsOfAppleContact(*A);
    GoogleContactPtr nameMatch, emailMatch, phoneMatch;
    for (const auto& entry : *internals(m).mContactFeed->entries()) {
        auto G = std::dynamic_pointer_cast<GDataEntryContact>(entry);
        if (!G || skip(G)) continue;
        const auto g = PairingIndex::factsOfGoogleContact(*G);
        if (a.hasNameParts() && g.hasNameParts() && referenceNamesEqual(m, a, g)) {
            if (!m.isOtherContact(G)) return G;
            nameMatch = G;
        }
        if (a.organization && !a.organization->empty() && !a.hasNameParts() && !g.hasNameParts() &&
            m.stringsEqualWithString1(a.organization, g.organization)) {
            if (!m.isOtherContact(G)) return G;
            nameMatch = G;
        }
        if (nameMatch) continue;
        if (!emailMatch || (m.isOtherContact(emailMatch) && !m.isOtherContact(G))) {
            if (referenceEmailsMeet(a.emails, g.emails)) emailMatch = G;
        }
        if (emailMatch) continue;
        if (!a.hasNameParts() && !g.hasNameParts() &&
            (!phoneMatch || (m.isOtherContact(phoneMatch) && !m.isOtherContact(G)))) {
            if (referencePhonesMeet(m, a.phones, g.phones)) phoneMatch = G;
        }
    }
    return nameMatch ? nameMatch : emailMatch ? emailMatch : phoneMatch;
}

inline platform::CNContactPtr referenceBestAppleContact(QuorvaneModel& m, const GoogleContactPtr& G) {
    if (!G) return nullptr;
    auto paired = m.syncHistory().pairedAppleID(G->identifier().value_or(""));
    if (paired && !paired->empty() && internals(m).mExistingAppleContactDict.count(*paired) &&
        !m.isAppleContactAlreadyMatched(internals(m).mExistingAppleContactDict[*paired])) {
        return internals(m).mExistingAppleContactDict[*paired];
    }
    auto skip = [&](const platform::CNContactPtr& A) {
        return m.alreadyPairedWithAnotherGoogleContactWithAppleContact(A, G) || m.isAppleContactAlreadyMatched(A) ||
               referenceRecordedApart(m, A, G);
    };
    auto hash = m.getGoogleContactHashName(G);
    if (!hash.empty() && internals(m).mAppleContactRecordIDsByHashName.count(hash)) {
        auto id = internals(m).mAppleContactRecordIDsByHashName[hash];
        if (!id.empty() && internals(m).mExistingAppleContactDict.count(id) && !skip(internals(m).mExistingAppleContactDict[id]))
            return internals(m).mExistingAppleContactDict[id];
    }
    const auto g = PairingIndex::factsOfGoogleContact(*G);
    platform::CNContactPtr emailMatch, phoneMatch;
    for (const auto& A : internals(m).mExistingAppleContacts) {
        if (!A || skip(A)) continue;
        if (m.isFacebookContact(A) && !m.isSyncingFacebook()) continue;
        if (!internals(m).mSelectedContainer && m.isReadOnlyContactWithContact(A)) continue;
        const auto a = PairingIndex::factsOfAppleContact(*A);
        if (a.hasNameParts() && g.hasNameParts() && referenceNamesEqual(m, g, a)) return A;
        if (g.organization && !g.organization->empty() && !a.hasNameParts() && !g.hasNameParts() &&
            m.stringsEqualWithString1(g.organization, a.organization)) {
            return A;
        }
        if (emailMatch) continue;
        if (referenceEmailsMeet(g.emails, a.emails)) emailMatch = A;
        if (!phoneMatch && !a.hasNameParts() && !g.hasNameParts() && referencePhonesMeet(m, g.phones, a.phones)) {
            phoneMatch = A;
        }
    }
    return emailMatch ? emailMatch : phoneMatch;
}

}  // namespace quorvane::testing
