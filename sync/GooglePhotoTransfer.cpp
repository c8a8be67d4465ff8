#include "sync/GooglePhotoTransfer.h"

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherService.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataLink.h"
#include "platform/net/URLRequest.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;

namespace {

std::optional<platform::URL> linkURL(const std::shared_ptr<GDataLink>& link) {
    if (!link || !link->href()) return std::nullopt;
    return platform::URL::URLWithString(*link->href());
}

Error missingLink(const char* what) {
    return Error(kGDataServiceErrorDomain, -1,
                 platform::Value::dictionary({{Error::kLocalizedDescriptionKey,
                                               platform::Value(std::string("The contact has no ") + what)}}));
}

// Runs the request through the service's fetcher service (so the service's authorizer signs it)
// and hands the outcome to the main thread.
void send(const std::shared_ptr<GDataServiceGoogleContact>& service, const platform::URLRequest& request,
          std::function<void(const std::optional<Bytes>&, int64_t, std::optional<std::string>,
                             const std::optional<Error>&)> done) {
    auto fetcher = service->fetcherService()->fetcherWithRequest(request);
    fetcher->beginFetchWithCompletionHandler(
        [fetcher, done = std::move(done)](const std::optional<Bytes>& data, const std::optional<Error>& error) {
            int64_t status = fetcher->statusCode();
            std::optional<std::string> etag;
            if (auto headers = fetcher->responseHeaders()) etag = headers->valueForHTTPHeaderField("ETag");
            platform::RunLoop::main()->post([done, data, status, etag, error] { done(data, status, etag, error); });
        });
}

}  // namespace

void GooglePhotoTransfer::download(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                   const std::shared_ptr<GDataEntryContact>& contact, Downloaded completion) {
    auto link = contact ? contact->photoLink() : nullptr;
    auto url = linkURL(link);
    if (!url) {
        platform::RunLoop::main()->post([completion] { completion(std::nullopt, std::nullopt, missingLink("photo link")); });
        return;
    }
    if (!link->ETag()) {  // the provider marks a stored photo by the link's ETag
        platform::RunLoop::main()->post([completion] { completion(std::nullopt, std::nullopt, std::nullopt); });
        return;
    }
    platform::URLRequest request(*url);
    send(service, request,
         [completion](const std::optional<Bytes>& data, int64_t status, std::optional<std::string> etag,
                      const std::optional<Error>& error) {
             if (status == 404) return completion(std::nullopt, std::nullopt, std::nullopt);
             if (error) return completion(std::nullopt, std::nullopt, error);
             completion(data.value_or(Bytes()), etag, std::nullopt);
         });
}

void GooglePhotoTransfer::upload(const std::shared_ptr<GDataServiceGoogleContact>& service,
                                 const std::shared_ptr<GDataEntryContact>& contact, const Bytes& photo,
                                 Uploaded completion) {
    std::shared_ptr<GDataLink> link;
    if (contact) {
        link = contact->linkWithRelAttributeValue(std::string(kGDataContactEditPhotoRel));
        if (!link) link = contact->photoLink();
    }
    auto url = linkURL(link);
    if (!url) {
        platform::RunLoop::main()->post([completion] { completion(std::nullopt, missingLink("photo link")); });
        return;
    }
    platform::URLRequest request(*url);
    if (photo.empty()) {
        // A removal names the photo it removes, as other writes do: one changed on the provider
        // since it was read is not removed (412). Without an ETag there is no photo to name.
        std::optional<std::string> etag;
        if (auto shown = contact->photoLink()) etag = shown->ETag();
        request.setValue(etag ? *etag : link->ETag().value_or("*"), "If-Match");
        request.setHTTPMethod("DELETE");
    } else {
        // Whatever photo the provider holds is replaced: the caller decided from the stored ETag.
        request.setValue("*", "If-Match");
        request.setHTTPMethod("PUT");
        request.setValue("image/*", "Content-Type");
        request.setHTTPBody(photo);
    }
    send(service, request,
         [completion, removing = photo.empty()](const std::optional<Bytes>&, int64_t status,
                                                std::optional<std::string> etag, const std::optional<Error>& error) {
             if (removing && status == 404) return completion(std::nullopt, std::nullopt);  // none to remove
             if (error) return completion(std::nullopt, error);
             completion(etag, std::nullopt);
         });
}

}  // namespace quorvane
