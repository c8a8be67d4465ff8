#pragma once
// The state behind the model's operations, for tests that set a situation up directly or look at
// what an operation left: internals(model).mSelectedContainer = container. The references are the
// model's own members (QuorvaneModelTestAccess is its friend); nothing outside the tests uses them.

#include <memory>

#include "sync/QuorvaneModel.h"

namespace quorvane {

struct QuorvaneModelTestAccess {
    QuorvaneModel& model;
    decltype(QuorvaneModel::mAccountStore)& mAccountStore = model.mAccountStore;
    decltype(QuorvaneModel::mAppleContactRecordIDsByHashName)& mAppleContactRecordIDsByHashName = model.mAppleContactRecordIDsByHashName;
    decltype(QuorvaneModel::mAuth)& mAuth = model.mAuth;
    decltype(QuorvaneModel::mCachedAppleContactDict)& mCachedAppleContactDict = model.mCachedAppleContactDict;
    decltype(QuorvaneModel::mContactFeed)& mContactFeed = model.mContactFeed;
    decltype(QuorvaneModel::mContactFeedComplete)& mContactFeedComplete = model.mContactFeedComplete;
    decltype(QuorvaneModel::mContactFeedIncremental)& mContactFeedIncremental = model.mContactFeedIncremental;
    decltype(QuorvaneModel::mContactFeedUsername)& mContactFeedUsername = model.mContactFeedUsername;
    decltype(QuorvaneModel::mCurrentSourceRecord)& mCurrentSourceRecord = model.mCurrentSourceRecord;
    decltype(QuorvaneModel::mDateFormatter)& mDateFormatter = model.mDateFormatter;
    decltype(QuorvaneModel::mDefaultContainerIsExchange)& mDefaultContainerIsExchange = model.mDefaultContainerIsExchange;
    decltype(QuorvaneModel::mDummyContact)& mDummyContact = model.mDummyContact;
    decltype(QuorvaneModel::mExchangeContactDict)& mExchangeContactDict = model.mExchangeContactDict;
    decltype(QuorvaneModel::mExistingAppleContactDict)& mExistingAppleContactDict = model.mExistingAppleContactDict;
    decltype(QuorvaneModel::mExistingAppleContacts)& mExistingAppleContacts = model.mExistingAppleContacts;
    decltype(QuorvaneModel::mFacebookContactDict)& mFacebookContactDict = model.mFacebookContactDict;
    decltype(QuorvaneModel::mFacebookContainerID)& mFacebookContainerID = model.mFacebookContainerID;
    decltype(QuorvaneModel::mFeedIncompleteReason)& mFeedIncompleteReason = model.mFeedIncompleteReason;
    decltype(QuorvaneModel::mGoogleCardDAVContactDict)& mGoogleCardDAVContactDict = model.mGoogleCardDAVContactDict;
    decltype(QuorvaneModel::mGoogleContactCache)& mGoogleContactCache = model.mGoogleContactCache;
    decltype(QuorvaneModel::mGoogleContactDict)& mGoogleContactDict = model.mGoogleContactDict;
    decltype(QuorvaneModel::mGoogleContactRecordIDsByHashName)& mGoogleContactRecordIDsByHashName = model.mGoogleContactRecordIDsByHashName;
    decltype(QuorvaneModel::mGoogleContactService)& mGoogleContactService = model.mGoogleContactService;
    decltype(QuorvaneModel::mGoogleDuplicatesDetected)& mGoogleDuplicatesDetected = model.mGoogleDuplicatesDetected;
    decltype(QuorvaneModel::mGregorianCalendar)& mGregorianCalendar = model.mGregorianCalendar;
    decltype(QuorvaneModel::mGroupContainerIDDict)& mGroupContainerIDDict = model.mGroupContainerIDDict;
    decltype(QuorvaneModel::mGroupFeed)& mGroupFeed = model.mGroupFeed;
    decltype(QuorvaneModel::mGroupFeedComplete)& mGroupFeedComplete = model.mGroupFeedComplete;
    decltype(QuorvaneModel::mGroupMembershipByPerson)& mGroupMembershipByPerson = model.mGroupMembershipByPerson;
    decltype(QuorvaneModel::mHasABPhotosToSubmit)& mHasABPhotosToSubmit = model.mHasABPhotosToSubmit;
    decltype(QuorvaneModel::mHasABPhotosToSubmitForNewRecord)& mHasABPhotosToSubmitForNewRecord = model.mHasABPhotosToSubmitForNewRecord;
    decltype(QuorvaneModel::mHasExchangeAccount)& mHasExchangeAccount = model.mHasExchangeAccount;
    decltype(QuorvaneModel::mLastAddressBookChangeDate)& mLastAddressBookChangeDate = model.mLastAddressBookChangeDate;
    decltype(QuorvaneModel::mNumABGoogleAccounts)& mNumABGoogleAccounts = model.mNumABGoogleAccounts;
    decltype(QuorvaneModel::mPauseBetweenGmailRequests)& mPauseBetweenGmailRequests = model.mPauseBetweenGmailRequests;
    decltype(QuorvaneModel::mReadOnlyContactDict)& mReadOnlyContactDict = model.mReadOnlyContactDict;
    decltype(QuorvaneModel::mSelectedContainer)& mSelectedContainer = model.mSelectedContainer;
    decltype(QuorvaneModel::mSelectedGroupURLDict)& mSelectedGroupURLDict = model.mSelectedGroupURLDict;
    decltype(QuorvaneModel::mSyncRun)& mSyncRun = model.mSyncRun;
    decltype(QuorvaneModel::mUsingExchange)& mUsingExchange = model.mUsingExchange;
    decltype(QuorvaneModel::mUsingGoogleCardDAV)& mUsingGoogleCardDAV = model.mUsingGoogleCardDAV;
    decltype(QuorvaneModel::mUsingiCloud)& mUsingiCloud = model.mUsingiCloud;
};

inline QuorvaneModelTestAccess internals(QuorvaneModel& model) { return {model}; }
inline QuorvaneModelTestAccess internals(const std::shared_ptr<QuorvaneModel>& model) { return {*model}; }

}  // namespace quorvane
