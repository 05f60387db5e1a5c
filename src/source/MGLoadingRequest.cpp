#include "source/MGLoadingRequest.h"

#include "source/MGRangeAssetLoader.h"

namespace kf {

MGLoadingRequest::MGLoadingRequest(std::optional<ContentInformationRequest> info,
                                   std::optional<DataRequest> data, Handlers handlers)
    : info_(std::move(info)), data_(std::move(data)), handlers_(std::move(handlers)) {}

std::shared_ptr<MGLoadingRequest> MGLoadingRequest::make(std::optional<ContentInformationRequest> info,
                                                         std::optional<DataRequest> data, Handlers handlers) {
  return std::shared_ptr<MGLoadingRequest>(
      new MGLoadingRequest(std::move(info), std::move(data), std::move(handlers)));
}

void MGLoadingRequest::cancel(const std::shared_ptr<MGRangeAssetLoader>& loader) {
  {
    // Taking the lock waits for a handler running on the loader queue.
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (cancelled_ || finished_) {
      cancelled_ = true;
      return;
    }
    cancelled_ = true;
  }
  if (loader) loader->didCancelLoadingRequest(shared_from_this());
}

bool MGLoadingRequest::isCancelled() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return cancelled_;
}

bool MGLoadingRequest::isFinished() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return finished_;
}

std::optional<MGLoadingRequest::ContentInformationRequest> MGLoadingRequest::contentInformation() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return info_;
}

std::optional<MGLoadingRequest::DataRequest> MGLoadingRequest::data() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return data_;
}

void MGLoadingRequest::setContentInformation(const ContentInformationRequest& info) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (info_) *info_ = info;
}

void MGLoadingRequest::respondWithData(const MGBytes& bytes) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (finished_ || cancelled_ || !bytes || bytes->empty()) return;
  if (data_) {
    std::int64_t cur = std::max(data_->currentOffset, data_->requestedOffset);
    data_->currentOffset = std::max<std::int64_t>(cur, 0) + static_cast<std::int64_t>(bytes->size());
  }
  if (handlers_.onData) handlers_.onData(bytes);
}

void MGLoadingRequest::finishLoading() {
  finish(std::nullopt);
}

void MGLoadingRequest::finishLoadingWithError(kf::Error error) {
  finish(std::move(error));
}

void MGLoadingRequest::finish(std::optional<kf::Error> error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (finished_ || cancelled_) return;
  finished_ = true;
  auto onFinish = std::move(handlers_.onFinish);
  handlers_ = Handlers{};  // release whatever the handlers captured
  if (onFinish) onFinish(std::move(error));
}

}  // namespace kf
