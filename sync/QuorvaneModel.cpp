#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

// The shared instance. Main thread only, as every caller of the model is, so no lock.
QuorvaneModelPtr gSharedModel;

}  // namespace

QuorvaneModelPtr QuorvaneModel::sharedQuorvaneModel() {
    if (!gSharedModel) gSharedModel = std::make_shared<QuorvaneModel>();
    return gSharedModel;
}

QuorvaneModel::QuorvaneModel(Environment environment) {
    mUserDefaults = environment.userDefaults ? std::move(environment.userDefaults)
                                             : platform::UserDefaults::standardUserDefaults();
    if (environment.contactStore) {
        mContactStore = std::move(environment.contactStore);
        // The record view must read the same store as the contacts it is asked about.
        mAddressBookRef = environment.addressBook ? std::move(environment.addressBook)
                                                  : std::make_shared<platform::ABAddressBook>(mContactStore->path());
    } else {
        mContactStore = std::make_shared<platform::CNContactStore>();
        mAddressBookRef = environment.addressBook ? std::move(environment.addressBook)
                                                  : platform::ABAddressBook::sharedAddressBook();
    }
    mGregorianCalendar = std::make_shared<platform::Calendar>(std::move(environment.timeZone));
}

}  // namespace quorvane
