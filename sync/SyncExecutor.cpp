#include "sync/SyncExecutor.h"

#include <cstdio>

#include "gdata/GDataEntryContactGroup.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/GDataLink.h"
#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/CNSaveRequest.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/Memory.h"
#include "platform/runloop/RunLoop.h"
#include "sync/ContentDigest.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/ContactText.h"
#include "sync/GooglePhotoTransfer.h"
#include "sync/SyncHistory.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

using platform::Error;

const char* syncRunOutcomeName(SyncRunOutcome outcome) {
    switch (outcome) {
        case SyncRunOutcome::Ok: return "ok";
        case SyncRunOutcome::Partial: return "partial";
        case SyncRunOutcome::Auth: return "auth";
        case SyncRunOutcome::Network: return "network";
        case SyncRunOutcome::Refused: return "refused";
        case SyncRunOutcome::MissingGroups: return "missing groups";
        case SyncRunOutcome::Other: return "other";
        case SyncRunOutcome::Interrupted: return "interrupted";
    }
    return "other";
}

const char* SyncExecutor::stateName(State state) {
    switch (state) {
        case State::Idle: return "idle";
        case State::ApplyLocal: return "applyLocal";
        case State::DownloadPhotos: return "downloadPhotos";
        case State::CreateGoogleGroups: return "createGoogleGroups";
        case State::RefetchGroups: return "refetchGroups";
        case State::ApplyGoogle: return "applyGoogle";
        case State::MergeBackLocal: return "mergeBackLocal";
        case State::UploadPhotos: return "uploadPhotos";
        case State::SaveHistory: return "saveHistory";
        case State::SaveLog: return "saveLog";
        case State::Finished: return "finished";
    }
    return "?";
}

namespace {

// What the progress line says while a state works.
const char* progressText(SyncExecutor::State state) {
    using S = SyncExecutor::State;
    switch (state) {
        case S::ApplyLocal: return "Updating local contacts";
        case S::DownloadPhotos: return "Downloading Google photos";
        case S::CreateGoogleGroups: return "Creating Google groups";
        case S::RefetchGroups: return "Downloading Google groups";
        case S::ApplyGoogle: return "Updating Google contacts";
        case S::UploadPhotos: return "Uploading photos";
        case S::SaveHistory: return "Saving sync history";
        default: return nullptr;
    }
}

bool writesLocal(const NSSyncRecord& r) {
    if (r.mSyncAction == SyncActionGoogleToMac) return r.mGoogleContact != nullptr;
    return r.mSyncAction == SyncActionDeleteContact && r.mAppleContact && !r.mGoogleContact;
}

bool writesGoogle(const NSSyncRecord& r) {
    if (r.mSyncAction == SyncActionMacToGoogle) return r.mAppleContact != nullptr;
    return r.mSyncAction == SyncActionDeleteContact && r.mGoogleContact && !r.mAppleContact;
}

// The text with each byte that is not part of UTF-8 shown as "\xFF", for messages.
std::string readableText(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (n && i + n <= text.size() && platform::isValidUTF8(text.substr(i, n))) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", lead);
        out += hex;
        ++i;
    }
    return out;
}

constexpr const char* kChangedLocally = "Changed locally during the sync, left for the next run";

// Only a run that writes both sides carries merged values back to the side written from.
bool writesBothSides(int32_t mode) { return mode == SyncModeTwoWay || mode == SyncModeManual; }

// A pair merged into its local contact, which now goes to Google as well.
bool mergedIntoLocal(const NSSyncRecord& r, int32_t mode) {
    return writesBothSides(mode) && r.mSyncAction == SyncActionGoogleToMac && r.mMergeContacts && r.mAppleContact &&
           r.mGoogleContact && r.mMutableAppleContact && !r.mAppleUpdateFailed;
}

// The history keeps the pair's values anew (it keeps the old ones for a pair neither side of
// which changed or was written): it reads what the Google side holds.
bool historyReadsGoogleValues(const NSSyncRecord& r) {
    if (r.mSyncAction == SyncActionDeleteContact) return false;
    if (!r.mAppleContact) return r.mSyncAction == SyncActionGoogleToMac;  // created locally
    const FieldMergeBase* base = r.mFieldBase.get();
    return !(base && base->unchangedSince() && r.mSyncAction == SyncActionNoUpdate);
}

std::optional<std::string> appleIdentifier(const NSSyncRecord& r) {
    if (r.mMutableAppleContact) return r.mMutableAppleContact->identifier();
    if (r.mAppleContact) return r.mAppleContact->identifier();
    return std::nullopt;
}

}  // namespace

std::shared_ptr<SyncExecutor> SyncExecutor::make(std::shared_ptr<Context> context, Input input) {
    return std::shared_ptr<SyncExecutor>(new SyncExecutor(std::move(context), std::move(input)));
}

SyncExecutor::SyncExecutor(std::shared_ptr<Context> context, Input input)
    : context_(std::move(context)), input_(std::move(input)) {}

void SyncExecutor::start(Finished finished) {
    finished_ = std::move(finished);
    // Every planned write is owed until confirmed: a run that stops before one is confirmed
    // leaves that pair's history as it was, for the next run to plan it again. A pair merged into
    // its local contact may owe Google the merged values too (found once the local side is
    // written).
    for (const auto& r : input_.records) {
        if (!r) continue;
        // A pair merged into Google owes its local contact the merged values: a run that stops
        // before they are written keeps the pair's old history, so the next run merges it again
        // (else the history would take the sides as settled, a value removed on Google kept
        // locally for good).
        r->mLocalWriteOwed = writesLocal(*r) || mergesBack(*r);
        r->mGoogleWriteOwed = writesGoogle(*r) || (writesBothSides(input_.syncMode) && r->mSyncAction == SyncActionGoogleToMac &&
                                                   r->mMergeContacts && r->mAppleContact && r->mGoogleContact);
        if (!r->mRefusedBecause) continue;
        recordFailure(r, "local", "Left as it is on both sides: " + *r->mRefusedBecause);
        context_->log("Left as it is on both sides, " + *r->mRefusedBecause + ": " + r->mDescription.value_or("a contact"));
    }
    changeState(State::ApplyLocal);
}

void SyncExecutor::cancel(SyncRunOutcome as) {
    if (cancelled_ || state_ == State::Finished) return;
    cancelled_ = true;
    cancelledAs_ = as;
    context_->log(std::string("Sync cancelled"));
    if (writer_) writer_->cancel();
}

void SyncExecutor::changeState(State next) {
    platform::Log::debug("sync", std::string("run: ") + stateName(state_) + " -> " + stateName(next));
    state_ = next;
    if (next == State::Finished) return;
    if (const char* text = progressText(next)) context_->progress(text);
    // Each state starts on a new turn of the main loop, so the program stays responsive.
    auto self = shared_from_this();
    platform::RunLoop::main()->post([self, next] {
        if (self->state_ != next) return;
        switch (next) {
            case State::ApplyLocal: return self->applyLocal();
            case State::DownloadPhotos: return self->downloadPhotos();
            case State::CreateGoogleGroups: return self->createGoogleGroups();
            case State::RefetchGroups: return self->refetchGroups();
            case State::ApplyGoogle: return self->applyGoogle();
            case State::MergeBackLocal: return self->mergeBackLocal();
            case State::UploadPhotos: return self->uploadPhotos();
            case State::SaveHistory: return self->saveHistory();
            case State::SaveLog: return self->saveLog();
            default: return;
        }
    });
}

void SyncExecutor::recordFailure(const NSSyncRecordPtr& record, const char* side, std::string reason) {
    ++result_.counts.failures;
    result_.failed.push_back({record ? record->mDescription.value_or("") : "", side, std::move(reason)});
}

bool SyncExecutor::stopOnFatal(const std::optional<Error>& error) {
    if (!error) return false;
    if (GoogleBatchWriter::isSignInGone(*error)) {
        stoppedWith_ = SyncRunOutcome::Auth;
    } else if (GoogleBatchWriter::isNetworkError(*error) || GoogleBatchWriter::isUnavailableError(*error)) {
        stoppedWith_ = SyncRunOutcome::Network;
    } else {
        return false;
    }
    if (!result_.error) result_.error = error;
    context_->log(std::string("Stopped: ") + error->localizedDescription());
    return true;
}

// --- local side ---

void SyncExecutor::applyLocal() {
    bool any = false;
    for (const auto& r : input_.records)
        if (r && writesLocal(*r)) any = true;
    auto counted = [this] {
        for (const auto& r : input_.records) {
            if (!r || !writesLocal(*r)) continue;
            if (r->mAppleChangedDuringSync) recordFailure(r, "local", kChangedLocally);
            else if (r->mAppleUpdateFailed) recordFailure(r, "local", "The local contact could not be written");
            else if (r->mSyncAction == SyncActionDeleteContact) ++result_.counts.appleDeleted;
            else if (r->mCreatedNewContact) ++result_.counts.appleCreated;
            else ++result_.counts.appleUpdated;
        }
    };
    if (!any || cancelled_) return changeState(State::DownloadPhotos);
    if (!localApply_) {
        for (const auto& r : input_.records)
            if (r && writesLocal(*r)) r->mAppleUpdateFailed = true;
        counted();
        return changeState(State::DownloadPhotos);
    }
    auto self = shared_from_this();
    localApply_(input_.records, [self, counted](const std::optional<Error>& error) {
        if (error) {
            self->context_->log("Local contacts could not be written: " + error->localizedDescription());
            if (!self->result_.error) self->result_.error = error;
        }
        counted();
        self->changeState(State::DownloadPhotos);
    });
}

void SyncExecutor::downloadPhotos() {
    // The local side is written: a Google contact that is not sent is only read from here on,
    // by the photo download and the history.
    for (const auto& r : input_.records) {
        if (!r || !r->mGoogleContact || mergedIntoLocal(*r, input_.syncMode) || writesGoogle(*r)) continue;
        // What it holds is read first where the history is to keep it anew, and whether a
        // one-way merge left the sides apart.
        const bool merged = mergedOneWay(*r);
        if ((!r->mGoogleFieldValues && historyReadsGoogleValues(*r)) || merged) {
            if (auto whole = context_->wholeGoogleContact(r->mGoogleContact)) {
                if (!r->mGoogleFieldValues) r->mGoogleFieldValues = context_->googleFieldValues(whole);
                if (merged)
                    r->mSidesDifferAfterMerge =
                        mergedSidesDiffer(r->mMutableAppleContact ? r->mMutableAppleContact : r->mAppleContact, whole);
            }
        }
        r->mGoogleContact = context_->leanGoogleContact(r->mGoogleContact);
    }
    platform::returnFreedMemory();
    photoQueue_.clear();
    photoNext_ = 0;
    photosRead_.clear();
    photosReadUntil_ = 0;
    for (const auto& r : input_.records) {
        if (!r || !r->mSyncPhoto || r->photoAction() != SyncActionGoogleToMac || r->mAppleUpdateFailed) continue;
        if (!r->mGoogleContact || !appleIdentifier(*r)) continue;
        photoQueue_.push_back(r);
    }
    downloadNextPhoto();
}

void SyncExecutor::downloadNextPhoto() {
    if (cancelled_ || photoNext_ >= photoQueue_.size()) return changeState(State::CreateGoogleGroups);
    NSSyncRecordPtr record = photoQueue_[photoNext_++];
    auto self = shared_from_this();
    GooglePhotoTransfer::download(
        context_->googleService(), record->mGoogleContact,
        [self, record](const std::optional<platform::Bytes>& photo, const std::optional<std::string>&,
                       const std::optional<Error>& error) {
            if (self->stopOnFatal(error)) return self->changeState(State::SaveHistory);
            if (error) {
                self->recordFailure(record, "local", "Photo download failed: " + error->localizedDescription());
                self->context_->log("Photo download failed: " + error->localizedDescription());
                return self->downloadNextPhoto();
            }
            // A photo the provider no longer has is removed locally only on the history's
            // evidence that it had one when the pair was last synced (its ETag then).
            const bool removed = (!photo || photo->empty()) && record->mHasSyncHistory &&
                                 record->mPreviousGoogleETag && !record->mPreviousGoogleETag->empty() &&
                                 !record->mGoogleETagPreviouslyPendingAssignment;
            if ((photo && !photo->empty()) || removed) {
                platform::Error saveError;
                const auto stored = self->storedPhotoContact(*appleIdentifier(*record));
                if (self->photosReadError_) saveError = *self->photosReadError_;
                if (stored && removed && !(*stored)->imageData()) {
                    // Gone on both sides already: the local write of a replace took it away.
                    record->mSyncPhotoSuccessful = true;
                    const auto& before = record->mAppleContact;
                    if (before && before->isKeyAvailable(platform::CNContactImageDataAvailableKey) &&
                        before->imageDataAvailable())
                        ++self->result_.counts.photosMoved;
                    return self->downloadNextPhoto();
                }
                if (stored) {
                    auto image = (*stored)->mutableCopy();
                    image->setImageData(removed ? std::nullopt : photo);
                    platform::CNSaveRequest request;
                    // A photo set (or the contact moved to another account) since the run read
                    // it is not written over: it waits for the next run. The text may be the
                    // run's own write by now: only the photo and the account are checked.
                    if (auto asRead = self->context_->localContactAsRead(*record)) {
                        asRead->fields.reset();
                        asRead->update(request, image, {platform::CNContactIdentifierKey});
                    } else {
                        request.updateContact(image);
                    }
                    auto saved = self->context_->contactStore().executeSaveRequest(request);
                    if (saved) {
                        record->mMutableAppleContact_Image = image;
                        record->mSyncPhotoSuccessful = true;
                        ++self->result_.counts.photosMoved;
                        return self->downloadNextPhoto();
                    }
                    if (saved.error().domain == platform::CNErrorDomain &&
                        saved.error().code == platform::CNErrorCodeRecordChanged) {
                        record->mAppleChangedDuringSync = true;
                        self->recordFailure(record, "local", kChangedLocally);
                        self->context_->log(std::string(kChangedLocally) + ": " + record->mDescription.value_or(""));
                        return self->downloadNextPhoto();
                    }
                    saveError = saved.error();
                }
                self->recordFailure(record, "local", "Photo could not be saved: " + saveError.localizedDescription());
                self->context_->log("Photo could not be saved: " + saveError.localizedDescription());
            } else {
                record->mSyncPhotoSuccessful = true;
            }
            self->downloadNextPhoto();
        });
}

// --- Google groups ---

void SyncExecutor::createGoogleGroups() {
    if (cancelled_) return changeState(State::SaveHistory);
    std::vector<GoogleBatchOperation> ops;
    // The groups of what goes to Google: the contacts sent, and those merged locally whose merged
    // values follow them there.
    std::vector<NSSyncRecordPtr> sent;
    for (const auto& r : input_.records)
        if (r && (writesGoogle(*r) || mergedIntoLocal(*r, input_.syncMode))) sent.push_back(r);
    for (const auto& group : context_->missingGoogleGroups(sent)) {
        // A group whose name cannot be sent fails alone: the contacts go without that
        // membership, which stays pending in their history until the group is renamed.
        const auto title = group && group->title() ? group->title()->stringValue().value_or("") : "";
        if (auto problem = xmlTextProblem(title)) {
            unsentGroups_.push_back(title);
            const std::string name = readableText(title);
            ++result_.counts.failures;
            result_.failed.push_back({"group " + name, "google",
                                      "The group was not made on Google: its name holds text that cannot be sent (" +
                                          *problem + "); its members are synced without it until it is renamed"});
            context_->log("Google group not made, its name holds text that cannot be sent: " + name);
            continue;
        }
        ops.push_back({GoogleBatchKind::Insert, group});
    }
    markGroupsNotCarried();
    if (ops.empty()) return changeState(State::ApplyGoogle);
    std::optional<platform::URL> url;
    if (const auto& groups = input_.feeds.groups.feed)
        if (auto link = groups->batchLink(); link && link->href()) url = platform::URL::URLWithString(*link->href());
    if (!url && input_.groupsFeedURL) url = platform::URL::URLWithString(input_.groupsFeedURL->absoluteString() + "/batch");
    if (!url) return finish(SyncRunOutcome::MissingGroups, Error(kGDataServiceErrorDomain, -1));
    context_->log("Creating " + std::to_string(ops.size()) + " Google groups");
    // A group whose answer was lost is not made again here: the next run's download shows it.
    auto options = writerOptions();
    options.findInserted = nullptr;
    writer_ = GoogleBatchWriter::make(context_->googleService(), *url, GoogleBatchWriter::FeedKind::Groups,
                                      options);
    auto self = shared_from_this();
    writer_->start(ops, nullptr, [self](const std::vector<GoogleBatchOutcome>& outcomes, const std::optional<Error>& e) {
        self->writer_.reset();
        if (self->stopOnFatal(e)) return self->changeState(State::SaveHistory);
        for (const auto& o : outcomes) {
            if (o.state == GoogleBatchOutcome::State::Confirmed) continue;
            // Contacts written now would lose their memberships: write nothing on Google.
            self->context_->log("Google group could not be created" +
                                            (o.reason ? ": " + *o.reason : std::string()));
            self->stoppedWith_ = SyncRunOutcome::MissingGroups;
            return self->changeState(State::SaveHistory);
        }
        self->changeState(State::RefetchGroups);
    });
}

void SyncExecutor::refetchGroups() {
    std::optional<platform::URL> url = input_.groupsFeedURL;
    if (!url && input_.feeds.groups.feed)
        if (auto link = input_.feeds.groups.feed->feedLink(); link && link->href())
            url = platform::URL::URLWithString(*link->href());
    if (!url) {
        stoppedWith_ = SyncRunOutcome::MissingGroups;
        return changeState(State::SaveHistory);
    }
    auto self = shared_from_this();
    context_->googleService()->fetchFeedWithURL(
        *url, [self](const GDataServiceTicketPtr&, const GDataObjectPtr& object, const std::optional<Error>& error) {
            auto feed = std::dynamic_pointer_cast<GDataFeedContactGroup>(object);
            if (error || !feed) {
                if (!self->stopOnFatal(error)) self->stoppedWith_ = SyncRunOutcome::MissingGroups;
                if (error && !self->result_.error) self->result_.error = error;
                return self->changeState(State::SaveHistory);
            }
            // The new groups are what the conversions name from now on.
            self->input_.feeds.groups.feed = feed;
            self->context_->useGroupFeed(feed);
            self->changeState(State::ApplyGoogle);
        });
}

void SyncExecutor::markGroupsNotCarried() {
    if (unsentGroups_.empty()) return;
    for (const auto& r : input_.records) {
        if (!r || !writesGoogle(*r) || r->mSyncAction != SyncActionMacToGoogle) continue;
        for (const auto& name : context_->localGroupNames(r->mAppleContact))
            if (std::find(unsentGroups_.begin(), unsentGroups_.end(), name) != unsentGroups_.end())
                r->mGroupsNotCarried.push_back(name);
    }
}

// --- Google contacts ---

GoogleBatchWriter::Options SyncExecutor::writerOptions() const {
    GoogleBatchWriter::Options options;
    options.previousSend = lastGoogleSend_;
    options.batchSize = input_.batchSize;
    options.maxInFlight = 2;
    options.pauseSeconds = input_.pauseSeconds;
    options.maxRounds = 10;
    options.resending = resending_;
    // A creation whose answer was lost is looked for among the provider's contacts by the local
    // identifier it carries, in a whole download of the list, before it may be sent again.
    std::weak_ptr<Context> weakContext = context_;
    options.findInserted = [weakContext](const std::vector<std::shared_ptr<GDataEntryBase>>& entries,
                                       std::function<void(GoogleBatchWriter::Options::Found)> answer) {
        auto context = weakContext.lock();
        auto url = GDataServiceGoogleContact::contactFeedURLForUserID("default");
        if (!context || !url) return answer(std::nullopt);
        context->log(std::to_string(entries.size()) +
                                 " Google contacts were sent without an answer: looking for them before sending again");
        GoogleFeedFetch::fetchContactFeed(
            context->googleService(), *url, nullptr,
            [entries, answer](FetchedContactFeed fetched, std::optional<Error> error) {
                if (error || !fetched.complete || !fetched.feed) return answer(std::nullopt);
                std::map<std::string, std::shared_ptr<GDataEntryBase>> byLocal;
                if (fetched.feed->entries())
                    for (const auto& e : *fetched.feed->entries())
                        if (auto c = std::dynamic_pointer_cast<GDataEntryContact>(e))
                            if (auto local = QuorvaneModel::localRecordOfGoogleContact(*c)) byLocal.emplace(*local, c);
                std::vector<std::shared_ptr<GDataEntryBase>> found;
                for (const auto& e : entries) {
                    auto c = std::dynamic_pointer_cast<GDataEntryContact>(e);
                    auto local = c ? QuorvaneModel::localRecordOfGoogleContact(*c) : std::nullopt;
                    auto it = local ? byLocal.find(*local) : byLocal.end();
                    found.push_back(it == byLocal.end() ? nullptr : it->second);
                }
                answer(std::move(found));
            });
    };
    return options;
}

std::optional<platform::URL> SyncExecutor::contactsBatchURL() const {
    if (input_.feeds.contacts.feed)
        if (auto link = input_.feeds.contacts.feed->batchLink(); link && link->href())
            return platform::URL::URLWithString(*link->href());
    if (input_.contactsFeedURL) return platform::URL::URLWithString(input_.contactsFeedURL->absoluteString() + "/batch");
    return std::nullopt;
}

void SyncExecutor::applyGoogle() {
    if (cancelled_) return changeState(State::SaveHistory);
    googleQueue_.clear();
    googleNext_ = 0;
    groupsReread_ = false;
    for (const auto& r : input_.records)
        if (r && (mergedIntoLocal(*r, input_.syncMode) || writesGoogle(*r))) googleQueue_.push_back(r);
    if (googleQueue_.empty()) return changeState(State::MergeBackLocal);
    if (!contactsBatchURL()) return finish(SyncRunOutcome::Other, Error(kGDataServiceErrorDomain, -1));
    preparing_ = GoogleChunk{};
    if (!sendGoogleChunk()) changeState(State::MergeBackLocal);
}

std::optional<GoogleBatchOperation> SyncExecutor::googleOperation(const NSSyncRecordPtr& r) {
    // What is sent carries every field of the entry: the whole entry, never a summary.
    std::shared_ptr<GDataEntryContact> whole;
    if (r->mGoogleContact && !(whole = context_->wholeGoogleContact(r->mGoogleContact))) {
        recordFailure(r, "google", "The kept copy of the Google contact could not be read, left for the next run");
        return std::nullopt;
    }
    if (mergedIntoLocal(*r, input_.syncMode)) {
        if (!groupsReread_) {  // the local write may have changed memberships
            context_->rereadLocalGroups();
            groupsReread_ = true;
        }
        // The contact as written, with every field the merge wrote (the addresses, IM addresses
        // and social profiles too): compared and sent whole.
        const platform::CNContactPtr merged = r->mMutableAppleContact;
        if (!mergedSidesDiffer(merged, whole)) {
            r->mGoogleWriteOwed = false;  // Google holds the merged values already
            return std::nullopt;
        }
        if (refusedForItsText(r, *merged)) return std::nullopt;
        auto entry = std::dynamic_pointer_cast<GDataEntryContact>(whole->copy());
        if (!entry) return std::nullopt;
        context_->toGoogle(entry, merged, merged, r);
        r->mSubmittedGmailUpdate = true;
        r->mNewGoogleContact = entry;
        return GoogleBatchOperation{GoogleBatchKind::Update, entry};
    }
    if (r->mSyncAction == SyncActionDeleteContact) {
        if (!input_.feeds.complete()) return std::nullopt;  // never delete on what may be a partial feed
        r->mSubmittedGmailUpdate = true;
        return GoogleBatchOperation{GoogleBatchKind::Delete, whole};
    }
    const auto& apple = r->mAppleContact;
    if (apple && refusedForItsText(r, *apple)) return std::nullopt;
    auto reference = r->mAppleContact_Reference ? r->mAppleContact_Reference : context_->referenceContact(apple);
    Context::GoogleConversion converted;
    GoogleBatchOperation op;
    if (whole) {
        auto entry = std::dynamic_pointer_cast<GDataEntryContact>(whole->copy());
        if (!entry) return std::nullopt;
        converted = context_->toGoogle(entry, reference, apple, r);
        op = {GoogleBatchKind::Update, entry};
    } else {
        converted = context_->toGoogle(nullptr, reference, apple, r);
        if (!converted.entry) return std::nullopt;
        QuorvaneModel::tagWithLocalRecord(*converted.entry, apple->identifier());
        op = {GoogleBatchKind::Insert, converted.entry};
    }
    for (const auto& [wholeLength, kept] : converted.truncated)
        warn("Google holds only the first " + std::to_string(kept) + " of the " + std::to_string(wholeLength) +
             " characters of a value of " + r->mDescription.value_or("a contact") +
             ": it goes to Google cut short, and the local contact keeps the whole value");
    r->mSubmittedGmailUpdate = true;
    r->mNewGoogleContact = std::dynamic_pointer_cast<GDataEntryContact>(op.entry);
    return op;
}

bool SyncExecutor::refusedForItsText(const NSSyncRecordPtr& r, const platform::CNContact& apple) {
    auto problem = unsendableContactText(apple);
    if (!problem) return false;
    // Not sent and not confirmed: the pair keeps its old history, and the next run tries again.
    r->mSubmittedGmailUpdate = true;
    recordFailure(r, "google", "Not sent: " + *problem);
    context_->log("Not sent, " + *problem + ": " + r->mDescription.value_or("a contact"));
    return true;
}

namespace {

// How many records a turn of the main loop prepares for Google, or whose outcomes it takes: the
// turns stay short, so that a request due after its pause goes out on time.
constexpr size_t kPreparedPerTurn = 20;
constexpr size_t kOutcomesPerTurn = 50;

}  // namespace

// The writes go out a chunk of a few batches at a time: each entry is made whole, converted and
// sent, and Google's answer put in its place, before more are made, so that the run never holds
// every written contact three times over (the entry, what was sent, the answer). The requests
// wait on the pause between them and on Google, not on this work: the next chunk is prepared a
// few records per turn while one is sent, goes out as soon as that one's writer finishes, and
// the finished chunk settles (outcomes taken, merged answers written back locally) while the
// next one is sent.
bool SyncExecutor::prepareGoogleChunk(size_t limit) {
    // Two requests' worth first, so that the first request goes out soon; three times that after.
    const size_t batch = std::max<size_t>(input_.batchSize, 1) * 2;
    const size_t chunk = preparing_.start == 0 ? batch : batch * 3;
    for (size_t n = 0; n < limit && googleNext_ < googleQueue_.size() && preparing_.ops.size() < chunk; ++n) {
        const auto& r = googleQueue_[googleNext_++];
        if (auto op = googleOperation(r)) {
            preparing_.ops.push_back(std::move(*op));
            preparing_.records.push_back(r);
        }
    }
    return googleNext_ < googleQueue_.size() && preparing_.ops.size() < chunk;
}

void SyncExecutor::schedulePreparing() {
    if (preparingPosted_) return;
    preparingPosted_ = true;
    auto self = shared_from_this();
    platform::RunLoop::main()->post([self] {
        self->preparingPosted_ = false;
        self->preparingTurn();
    });
}

void SyncExecutor::preparingTurn() {
    // Only while a chunk is out and none settles: the merged answers written back locally may
    // change the local groups the next conversions read.
    if (cancelled_ || settling_ || !writer_ || state_ != State::ApplyGoogle) return;
    if (prepareGoogleChunk(kPreparedPerTurn)) schedulePreparing();
}

bool SyncExecutor::sendGoogleChunk() {
    while (prepareGoogleChunk(SIZE_MAX)) {
    }
    auto chunk = std::make_shared<GoogleChunk>(std::move(preparing_));
    preparing_ = GoogleChunk{};
    preparing_.start = googleNext_;
    if (chunk->ops.empty()) return false;
    writer_ = GoogleBatchWriter::make(context_->googleService(), *contactsBatchURL(), GoogleBatchWriter::FeedKind::Contacts,
                                      writerOptions());
    auto self = shared_from_this();
    const size_t start = chunk->start;
    writer_->start(
        chunk->ops,
        [self, start](size_t done, size_t) {
            const size_t total = self->googleQueue_.size();
            self->context_->subProgress("Google " + std::to_string(start + done) + " of " + std::to_string(total));
            if (total > 0) self->context_->progressBar(float(start + done) / float(total));
        },
        [self, chunk](const std::vector<GoogleBatchOutcome>& outcomes, const std::optional<Error>& e) {
            self->lastGoogleSend_ = self->writer_->lastSendTime();
            self->writer_.reset();
            self->googleChunkFinished(chunk, outcomes, e);
        });
    schedulePreparing();
    return true;
}

void SyncExecutor::googleChunkFinished(std::shared_ptr<GoogleChunk> chunk, std::vector<GoogleBatchOutcome> outcomes,
                                       std::optional<Error> error) {
    auto self = shared_from_this();
    if (settling_) {
        // The chunk before settles first, so that the run holds the whole answers of at most two
        // chunks and the next one is prepared only once that one's answers are written back.
        afterSettled_ = [self, chunk, outcomes = std::move(outcomes), error]() mutable {
            self->googleChunkFinished(std::move(chunk), std::move(outcomes), std::move(error));
        };
        return;
    }
    settling_ = true;
    const bool fatal = error && (GoogleBatchWriter::isSignInGone(*error) || GoogleBatchWriter::isNetworkError(*error) ||
                                 GoogleBatchWriter::isUnavailableError(*error));
    if (!fatal && !cancelled_) sendGoogleChunk();
    settleGoogleChunk(std::move(chunk), std::move(outcomes), std::move(error));
}

void SyncExecutor::settleGoogleChunk(std::shared_ptr<GoogleChunk> chunk, std::vector<GoogleBatchOutcome> outcomes,
                                     std::optional<Error> error) {
    auto self = shared_from_this();
    auto taken = std::make_shared<std::vector<GoogleBatchOutcome>>(std::move(outcomes));
    takeGoogleOutcomes(chunk, taken, 0, [self, chunk, error] {
        if (self->stopOnFatal(error)) {
            self->settling_ = false;
            return self->changeState(State::SaveHistory);
        }
        self->mergeBack(chunk->records, [self] {
            self->settling_ = false;
            platform::returnFreedMemory();
            if (auto next = std::move(self->afterSettled_)) {
                self->afterSettled_ = nullptr;
                return next();
            }
            if (self->writer_) return self->schedulePreparing();
            self->changeState(State::MergeBackLocal);
        });
    });
}

void SyncExecutor::takeGoogleOutcomes(std::shared_ptr<GoogleChunk> chunk,
                                      std::shared_ptr<std::vector<GoogleBatchOutcome>> outcomes, size_t from,
                                      std::function<void()> next) {
    const size_t count = std::min(chunk->records.size(), outcomes->size());
    const size_t end = std::min(count, from + kOutcomesPerTurn);
    for (size_t i = from; i < end; ++i) takeGoogleOutcome(chunk->records[i], chunk->ops[i], (*outcomes)[i]);
    if (end >= count) return next();
    auto self = shared_from_this();
    platform::RunLoop::main()->post([self, chunk, outcomes, end, next = std::move(next)]() mutable {
        self->takeGoogleOutcomes(std::move(chunk), std::move(outcomes), end, std::move(next));
    });
}

void SyncExecutor::takeGoogleOutcome(const NSSyncRecordPtr& r, const GoogleBatchOperation& op, const GoogleBatchOutcome& o) {
    // Settled: what was sent is not kept for the rest of the run (an entry each, as large as
    // the contact; Google's answer stands for the contact from now on).
    r->mNewGoogleContact.reset();
    const auto sent = std::dynamic_pointer_cast<GDataEntryContact>(op.entry);
    switch (o.state) {
        case GoogleBatchOutcome::State::Confirmed: {
            r->mGmailUpdateSucceeded = true;
            r->mGoogleWriteOwed = false;
            if (op.kind == GoogleBatchKind::Delete) {
                ++result_.counts.googleDeleted;
                break;
            }
            if (auto answer = std::dynamic_pointer_cast<GDataEntryContact>(o.answer)) {
                context_->googleAnswerConfirmed(answer);
                if (sent) warnOfShortenedValues(*r, *sent, *answer);
                r->mGoogleFieldValues = context_->googleFieldValues(answer);
                // Whether the merged values come back to the local contact is read now, while
                // the answer is at hand. Until they do, the local write stays owed (start).
                const auto& apple = r->mAppleContact_Reference ? r->mAppleContact_Reference : r->mAppleContact;
                if (mergedOneWay(*r)) r->mSidesDifferAfterMerge = mergedSidesDiffer(apple, answer);
                if (mergesBack(*r)) {
                    if (!mergedSidesDiffer(apple, answer)) r->mLocalWriteOwed = false;
                    else if (!cancelled_) mergeBackDue_.insert(r.get());
                }
                // Only an answer merged back into its local contact is read whole again.
                r->mGoogleContact = mergeBackDue_.count(r.get()) ? context_->keptGoogleContact(answer)
                                                                 : context_->leanGoogleContact(answer);
                if (auto id = answer->identifier()) writtenGoogleContacts_[*id] = r->mGoogleContact;
            }
            bool created = op.kind == GoogleBatchKind::Insert;
            ++(created ? result_.counts.googleCreated : result_.counts.googleUpdated);
            context_->logWritten(r, created);
            break;
        }
        case GoogleBatchOutcome::State::Conflict:
            // Changed on Google since it was read: the next run reads it afresh.
            r->mDisableGmailResubmit = true;
            context_->googleContactChangedDuringRun();
            recordFailure(r, "google", "Changed on Google during the sync, left for the next run");
            context_->log("Changed on Google during the sync, left for the next run: " + r->mDescription.value_or(""));
            break;
        case GoogleBatchOutcome::State::Failed:
        {
            // Refused, not taken now (a passing failure, sent again as long as the run resends),
            // or never answered (a time-out, say) or never sent.
            const std::string why = (o.status ? std::to_string(o.status) + (o.reason ? " " : "") : "") + o.reason.value_or("");
            const std::string name = r->mDescription.value_or("a contact");
            if (!o.status) {
                recordFailure(r, "google", "Not written to Google (" + why + ")");
                context_->log("Not written to Google: " + name + " (" + why + ")");
                break;
            }
            const std::string verb = GoogleBatchWriter::isRefusal(o.status) ? "refused" : "could not take";
            recordFailure(r, "google", "Google " + verb + " it (" + why + ")");
            context_->log("Google " + verb + " " + name + " (" + why + ")");
            break;
        }
        case GoogleBatchOutcome::State::NotSent:
            break;
    }
}

void SyncExecutor::warn(std::string warning) {
    context_->log(warning);
    result_.warnings.push_back(std::move(warning));
}

void SyncExecutor::warnOfShortenedValues(const NSSyncRecord& r, const GDataEntryContact& sent, const GDataEntryContact& kept) {
    for (const auto& v : valuesShortenedByProvider(sent, kept)) {
        warn("Google kept only " + std::to_string(v.keptLength) + " of the " + std::to_string(v.sentLength) +
             " characters of the " + v.element + " of " + r.mDescription.value_or("a contact") +
             ": the local contact keeps the whole value, and the two now differ");
    }
}

bool SyncExecutor::mergedSidesDiffer(const platform::CNContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google) {
    const auto whole = context_->wholeGoogleContact(google);
    return whole && context_->contactsDiffer(apple, whole);
}

bool SyncExecutor::mergedOneWay(const NSSyncRecord& r) const {
    return (input_.syncMode == SyncModeGoogleToMac || input_.syncMode == SyncModeMacToGoogle) && r.mMergeContacts &&
           r.mSyncAction != SyncActionNoUpdate && r.mAppleContact && r.mGoogleContact;
}

bool SyncExecutor::mergesBack(const NSSyncRecord& r) const {
    return localApply_ && writesBothSides(input_.syncMode) && r.mSyncAction == SyncActionMacToGoogle &&
           r.mMergeContacts && r.mAppleContact;
}

void SyncExecutor::mergeBackLocal() {
    auto self = shared_from_this();
    mergeBack(input_.records, [self] { self->changeState(State::UploadPhotos); });
}

void SyncExecutor::mergeBack(const std::vector<NSSyncRecordPtr>& records, std::function<void()> next) {
    // Each pair merged into Google gets the merged entry merged into its local contact, through
    // records of their own so that the planned ones keep what they did.
    auto back = std::make_shared<MergedBack>();  // planned, merge-back
    if (!cancelled_ && localApply_ && writesBothSides(input_.syncMode)) {
        for (const auto& r : records) {
            // Due only for a confirmed write whose answer is the record's Google contact.
            if (!r || !mergeBackDue_.erase(r.get())) continue;
            auto m = context_->newSyncRecord();
            m->mAppleContact = m->mAppleContact_Reference = r->mAppleContact;
            m->mGoogleContact = r->mGoogleContact;
            m->mSyncAction = m->mInitialSyncAction = SyncActionGoogleToMac;
            m->mMergeContacts = true;
            m->mFieldBase = r->mFieldBase;
            m->mDescription = r->mDescription;
            back->emplace_back(r, m);
        }
    }
    if (back->empty()) return next();
    // What is sent after this may read local groups the merge-back made.
    groupsReread_ = false;
    std::vector<NSSyncRecordPtr> merged;
    for (const auto& [r, m] : *back) merged.push_back(m);
    auto self = shared_from_this();
    localApply_(merged, [self, back, next](const std::optional<Error>& error) {
        if (error) self->context_->log("Merged values could not be written locally: " + error->localizedDescription());
        self->takeMergedBack(back, 0, next);
    });
}

void SyncExecutor::takeMergedBack(std::shared_ptr<const MergedBack> back, size_t from, std::function<void()> next) {
    const size_t end = std::min(back->size(), from + kOutcomesPerTurn);
    for (size_t i = from; i < end; ++i) {
        const auto& [r, m] = (*back)[i];
        r->mGoogleContact = m->mGoogleContact = context_->leanGoogleContact(r->mGoogleContact);
        if (auto id = r->mGoogleContact->identifier()) writtenGoogleContacts_[*id] = r->mGoogleContact;
        if (m->mAppleUpdateFailed || !m->mMutableAppleContact) {
            recordFailure(r, "local", m->mAppleChangedDuringSync ? kChangedLocally : "The merged values could not be written locally");
            continue;
        }
        r->mMutableAppleContact = m->mMutableAppleContact;
        r->mLocalWriteOwed = false;
        ++result_.counts.appleUpdated;
    }
    if (end >= back->size()) return next();
    auto self = shared_from_this();
    platform::RunLoop::main()->post([self, back, end, next = std::move(next)]() mutable {
        self->takeMergedBack(std::move(back), end, std::move(next));
    });
}

void SyncExecutor::uploadPhotos() {
    photoQueue_.clear();
    photoNext_ = 0;
    photosRead_.clear();
    photosReadUntil_ = 0;
    if (!cancelled_)
        for (const auto& r : input_.records)
            if (r && (r->mVerifyApplePhoto || (r->mSyncPhoto && r->photoAction() == SyncActionMacToGoogle)) &&
                r->mAppleContact && r->mGoogleContact &&
                (r->mSyncAction == SyncActionMacToGoogle ? r->mGmailUpdateSucceeded : !r->mAppleUpdateFailed))
                photoQueue_.push_back(r);
    uploadNextPhoto();
}

void SyncExecutor::uploadNextPhoto() {
    if (cancelled_ || photoNext_ >= photoQueue_.size()) return changeState(State::SaveHistory);
    NSSyncRecordPtr record = photoQueue_[photoNext_++];
    const auto stored = storedPhotoContact(record->mAppleContact->identifier());
    if (!stored) return uploadNextPhoto();
    const std::optional<platform::Bytes> photo = (*stored)->imageData();
    // No local photo: the Google one is removed only on the history's evidence that the local
    // contact had one when the pair was last synced; otherwise there is nothing to send.
    const bool removing = !photo || photo->empty();
    const auto googlePhoto = googlePhotoETag(record->mGoogleContact);
    const bool googleHasPhoto = googlePhoto && !googlePhoto->empty();
    if (removing && !googleHasPhoto && record->mSyncPhoto && record->photoAction() == SyncActionMacToGoogle) {
        // On neither side: in step (a removal whose answer was lost reached the provider).
        record->mSyncPhotoSuccessful = true;
        return uploadNextPhoto();
    }
    if (removing && !(record->mHasSyncHistory && record->mPreviousApplePhotoSize > 0 && googleHasPhoto))
        return uploadNextPhoto();
    if (record->mVerifyApplePhoto && !(record->mSyncPhoto && record->photoAction() == SyncActionMacToGoogle)) {
        // Whether the local photo changed is not known: it is sent only when it differs from the
        // provider's; a failed comparison leaves it for the next run to compare.
        if (removing) return uploadNextPhoto();
        auto self = shared_from_this();
        GooglePhotoTransfer::download(context_->googleService(), record->mGoogleContact,
                                      [self, record, photo](const std::optional<platform::Bytes>& google,
                                                            const std::optional<std::string>&, const std::optional<Error>& error) {
                                          if (self->stopOnFatal(error)) return self->changeState(State::SaveHistory);
                                          if (error) {
                                              self->context_->log("Photo comparison failed: " + error->localizedDescription());
                                              return self->uploadNextPhoto();
                                          }
                                          if (google == photo) {
                                              record->mApplePhotoVerified = true;
                                              return self->uploadNextPhoto();
                                          }
                                          self->sendPhoto(record, *photo);
                                      });
        return;
    }
    sendPhoto(record, removing ? platform::Bytes() : *photo);
}

std::optional<platform::CNContactPtr> SyncExecutor::storedPhotoContact(const std::string& identifier) {
    if (photoNext_ > photosReadUntil_) {
        // A few at a time: one read of the store for several photos, and no more than a few held.
        constexpr size_t kPhotosPerRead = 10;
        photosRead_.clear();
        photosReadError_.reset();
        const size_t from = photoNext_ - 1;
        photosReadUntil_ = std::min(photoQueue_.size(), from + kPhotosPerRead);
        std::vector<std::string> identifiers;
        for (size_t i = from; i < photosReadUntil_; ++i) {
            // An upload sends the photo of the contact the plan read; a download lands in the one written.
            const auto& r = *photoQueue_[i];
            if (auto id = state_ == State::UploadPhotos ? r.mAppleContact->identifier() : appleIdentifier(r))
                identifiers.push_back(*id);
        }
        auto stored = context_->contactStore().unifiedContactsMatchingPredicate(
            platform::CNContact::predicateForContactsWithIdentifiers(identifiers), {platform::CNContactImageDataKey});
        if (!stored) {
            photosReadError_ = stored.error();
        } else {
            std::map<std::string, size_t> found;
            for (const auto& contact : *stored)
                if (contact) ++found[contact->identifier()];
            // A contact the store holds once: one that answers to its identifier more than once is not read.
            for (const auto& contact : *stored)
                if (contact && found[contact->identifier()] == 1) photosRead_.emplace(contact->identifier(), contact);
        }
    }
    auto it = photosRead_.find(identifier);
    if (it == photosRead_.end()) return std::nullopt;
    return it->second;
}

void SyncExecutor::sendPhoto(const NSSyncRecordPtr& record, const platform::Bytes& photo) {
    const bool removing = photo.empty();
    auto self = shared_from_this();
    GooglePhotoTransfer::upload(
        context_->googleService(), record->mGoogleContact, photo,
        [self, record, removing](const std::optional<std::string>& etag, const std::optional<Error>& error) {
            if (self->stopOnFatal(error)) return self->changeState(State::SaveHistory);
            if (error) {
                self->recordFailure(record, "google", "Photo upload failed: " + error->localizedDescription());
                self->context_->log("Photo upload failed: " + error->localizedDescription());
                return self->uploadNextPhoto();
            }
            record->mSyncPhotoSuccessful = true;
            record->mApplePhotoVerified = true;
            ++self->result_.counts.photosMoved;
            // The history keeps the photo's ETag: none once removed; the new one when the provider
            // said it, else the next run takes it from the feed.
            if (removing) {
                record->mGoogleContact->setPhotoLinkETag(std::nullopt);
            } else if (etag && record->mGoogleContact->photoLink()) {
                record->mGoogleContact->setPhotoLinkETag(*etag);
            } else {
                record->mGoogleETagPendingAssignment = true;
            }
            self->uploadNextPhoto();
        });
}

// --- the end ---

namespace {
// The first few names of a list, for a warning: "A, B and 3 more".
std::string namesShown(const std::vector<std::string>& names) {
    constexpr size_t kNamesShown = 20;
    std::string list;
    for (size_t i = 0; i < names.size() && i < kNamesShown; ++i) list += (i ? ", " : "") + names[i];
    if (names.size() > kNamesShown) list += " and " + std::to_string(names.size() - kNamesShown) + " more";
    return list;
}
}  // namespace

std::shared_ptr<GDataEntryContact> SyncExecutor::googleContactWithID(const std::string& id) const {
    if (auto it = writtenGoogleContacts_.find(id); it != writtenGoogleContacts_.end()) return it->second;
    if (input_.feeds.contacts.feed)
        return std::dynamic_pointer_cast<GDataEntryContact>(input_.feeds.contacts.feed->entryForIdentifier(id));
    return nullptr;
}

void SyncExecutor::saveHistory() {
    platform::returnFreedMemory();
    notePhotosNotMoved();
    auto self = shared_from_this();
    auto saved = context_->saveHistory(input_.records,
                                           [self](const std::string& id) { return self->googleContactWithID(id); });
    if (!saved) {
        context_->log("The sync history could not be saved: " + saved.error().localizedDescription());
        if (!stoppedWith_) stoppedWith_ = SyncRunOutcome::Other;
        if (!result_.error) result_.error = saved.error();
    } else if (!saved->empty()) {
        // Said once for the run (the run's log names each pair already).
        result_.warnings.push_back(std::to_string(saved->size()) + (saved->size() == 1 ? " pair holds" : " pairs hold") +
                                   " values on one side only, left where they are as the history of an earlier version "
                                   "cannot tell which side removed them (remove them where they are not wanted): " +
                                   namesShown(*saved));
    }
    changeState(State::SaveLog);
}

void SyncExecutor::notePhotosNotMoved() {
    // Photos there were to move and were not written: the history leaves them to the next run.
    std::vector<std::string> names;
    for (const auto& r : input_.records) {
        if (!r || !r->photoOwed()) continue;
        bool there = false;
        if (r->photoAction() == SyncActionGoogleToMac) {
            const auto etag = googlePhotoETag(r->mGoogleContact);
            there = etag && !etag->empty();
        } else if (r->photoAction() == SyncActionMacToGoogle && r->mAppleContact) {
            there = r->mAppleContact->isKeyAvailable(platform::CNContactImageDataAvailableKey) &&
                    r->mAppleContact->imageDataAvailable();
        }
        if (there) names.push_back(r->mDescription.value_or(""));
    }
    if (names.empty()) return;
    warn(std::to_string(names.size()) + (names.size() == 1 ? " photo" : " photos") + " did not arrive; the next sync moves " +
         (names.size() == 1 ? "it" : "them") + ": " + namesShown(names));
}

void SyncExecutor::saveLog() {
    SyncRunOutcome outcome = stoppedWith_.value_or(result_.counts.failures > 0 ? SyncRunOutcome::Partial : SyncRunOutcome::Ok);
    if (!stoppedWith_ && result_.error) outcome = SyncRunOutcome::Partial;
    // A run ended on purpose is named for that, whatever the requests cut short by it answered.
    if (cancelled_) outcome = cancelledAs_;
    finish(outcome, result_.error);
}

void SyncExecutor::finish(SyncRunOutcome outcome, std::optional<Error> error) {
    if (state_ == State::Finished) return;
    result_.outcome = outcome;
    if (error && !result_.error) result_.error = error;

    context_->log(std::string("Sync finished: ") + syncRunOutcomeName(outcome));
    auto saved = context_->saveRunLog(
        input_.startDate, outcome,
        result_.error ? std::optional<std::string>(context_->describeError(*result_.error)) : std::nullopt, result_.counts);
    if (saved)
        result_.runID = *saved;
    else
        platform::Log::error("sync", "the run log could not be saved: " + saved.error().localizedDescription());

    changeState(State::Finished);
    auto finished = std::move(finished_);
    finished_ = nullptr;
    if (finished) finished(result_);
}

}  // namespace quorvane
