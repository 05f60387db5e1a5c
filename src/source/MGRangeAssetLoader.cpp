#include "source/MGRangeAssetLoader.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "source/MGRangeError.h"

namespace kf {

namespace {

std::string LowercaseExtensionOf(std::string_view url) {
  // The extension of the last path component, ignoring a query or fragment.
  std::size_t cut = url.find_first_of("?#");
  if (cut != std::string_view::npos) url = url.substr(0, cut);
  std::size_t slash = url.rfind('/');
  std::string_view name = slash == std::string_view::npos ? url : url.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

std::string MGContentTypeForExtension(std::string_view extension) {
  std::string ext(extension);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "mp4" || ext == "m4v") return "public.mpeg-4";
  if (ext == "mov" || ext == "qt") return "com.apple.quicktime-movie";
  if (ext == "3gp" || ext == "3gpp") return "public.3gpp";
  if (ext == "3g2" || ext == "3gp2") return "public.3gpp2";
  if (ext == "avi") return "public.avi";
  if (ext == "mpg" || ext == "mpeg") return "public.mpeg";
  if (ext == "mts" || ext == "m2ts" || ext == "ts") return "public.mpeg-2-transport-stream";
  if (ext == "mkv") return "org.matroska.mkv";
  if (ext == "webm") return "org.webmproject.webm";
  return "public.movie";
}

// ---------------------------------------------------------------- operation

MGRangeReadOperation::MGRangeReadOperation(std::weak_ptr<MGRangeAssetLoader> owner, Completion completion)
    : owner_(std::move(owner)), completion_(std::move(completion)) {}

void MGRangeReadOperation::finishWithData(MGBytes data, std::optional<kf::Error> error) {
  Completion completion;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (finished_) return;
    finished_ = true;
    completion.swap(completion_);
  }
  if (completion) completion(std::move(data), std::move(error));
  if (auto owner = owner_.lock()) owner->readOperationFinished(this);
}

void MGRangeReadOperation::cancel() {
  finishWithData(nullptr, MGRangeCancelledError());
}

bool MGRangeReadOperation::isFinished() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finished_;
}

std::shared_ptr<const MGRetagTable> MGRangeReadOperation::ownerRetags() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ownerRetags_;
}

void MGRangeReadOperation::setOwnerRetags(std::shared_ptr<const MGRetagTable> retags) {
  std::lock_guard<std::mutex> lock(mu_);
  ownerRetags_ = std::move(retags);
}

// ------------------------------------------------------------------- loader

std::shared_ptr<MGRangeAssetLoader> MGRangeAssetLoader::create(
    std::shared_ptr<MGRangeServiceProtocol> service, std::uint64_t fileSize, std::string sourceURL,
    std::shared_ptr<MGRangeConnection> connection) {
  return std::shared_ptr<MGRangeAssetLoader>(
      new MGRangeAssetLoader(std::move(service), fileSize, std::move(sourceURL), std::move(connection)));
}

MGRangeAssetLoader::MGRangeAssetLoader(std::shared_ptr<MGRangeServiceProtocol> service,
                                       std::uint64_t fileSize, std::string sourceURL,
                                       std::shared_ptr<MGRangeConnection> connection)
    : service_(std::move(service)),
      fileSize_(fileSize),
      sourceURL_(std::move(sourceURL)),
      contentType_(MGContentTypeForExtension(LowercaseExtensionOf(sourceURL_))),
      retags_(std::make_shared<const MGRetagTable>()),
      connection_(std::move(connection)),
      queue_("com.marrowgate.kerfline.range-loader") {}

MGRangeAssetLoader::~MGRangeAssetLoader() {
  // Nothing can reach the loader any more except the queue's own tasks: stop
  // them first, then end what is left, so that every read and every request
  // still completes exactly once.
  queue_.stop();
  kf::Error error = MGRangeError(kRangeServiceEnded);
  std::set<std::shared_ptr<MGRangeReadOperation>> ops;
  std::shared_ptr<MGRangeConnection> connection;
  std::map<MGLoadingRequest*, std::shared_ptr<MGLoadingRequest>> incoming;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (terminalError_) error = *terminalError_;
    ops.swap(readOperations_);
    connection.swap(connection_);
    incoming.swap(incoming_);
  }
  for (const auto& op : ops) op->finishWithData(nullptr, error);
  failAllRequests(error);
  for (auto& [key, request] : incoming) request->finishLoadingWithError(error);
  if (connection) connection->invalidate();
}

MGRetagTable MGRangeAssetLoader::retags() const {
  std::lock_guard<std::mutex> lock(mu_);
  return *retags_;
}

void MGRangeAssetLoader::setRetags(MGRetagTable retags) {
  auto table = std::make_shared<const MGRetagTable>(std::move(retags));
  std::lock_guard<std::mutex> lock(mu_);
  retags_ = std::move(table);
}

std::optional<kf::Error> MGRangeAssetLoader::terminalError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return terminalError_;
}

std::size_t MGRangeAssetLoader::outstandingReadCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return readOperations_.size();
}

std::shared_ptr<MGRangeReadOperation> MGRangeAssetLoader::readOffset(
    std::uint64_t offset, std::uint64_t length, MGRangeReadOperation::Completion completion) {
  auto op = std::make_shared<MGRangeReadOperation>(weak_from_this(), std::move(completion));
  std::shared_ptr<const MGRetagTable> retags;
  std::optional<kf::Error> terminal;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (terminalError_) {
      terminal = terminalError_;
    } else {
      readOperations_.insert(op);
      retags = retags_;
    }
  }
  if (terminal) {
    op->finishWithData(nullptr, std::move(terminal));
    return op;
  }
  if (offset > fileSize_) {
    op->finishWithData(nullptr, MGRangeError(kRangeStartsBeyondMovie));
    return op;
  }
  length = std::min(length, fileSize_ - offset);
  if (length == 0) {
    op->finishWithData(MGMakeBytes({}), std::nullopt);
    return op;
  }
  length = std::min(length, kRangeLoaderChunkBytes);
  op->setOwnerRetags(retags);

  std::weak_ptr<MGRangeReadOperation> weakOp = op;
  auto reply = [weakOp, offset, length](MGBytes data, std::optional<kf::Error> error) {
    auto op = weakOp.lock();
    if (!op) return;
    if (!data && !error) error = MGRangeError(kRangeServiceReturnedNoData);
    if (data && data->size() > length) {
      data = MGMakeBytes(
          std::vector<std::uint8_t>(data->begin(), data->begin() + static_cast<std::ptrdiff_t>(length)));
    }
    if (data) {
      auto table = op->ownerRetags();
      if (table) data = MGApplySampleEntryRetags(data, offset, *table);
    }
    op->finishWithData(std::move(data), std::move(error));
  };
  try {
    service_->readOffset(offset, length, std::move(reply));
  } catch (const std::exception& e) {
    std::string reason = e.what() ? e.what() : "";
    op->finishWithData(nullptr, reason.empty() ? MGRangeError(kRangeServiceFailed)
                                               : MGRangeError(kRangeServiceFailed, reason));
  } catch (...) {
    op->finishWithData(nullptr, MGRangeError(kRangeServiceFailed));
  }
  return op;
}

void MGRangeAssetLoader::readOperationFinished(MGRangeReadOperation* operation) {
  std::shared_ptr<MGRangeReadOperation> removed;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = readOperations_.begin(); it != readOperations_.end(); ++it) {
    if (it->get() == operation) {
      removed = *it;
      readOperations_.erase(it);
      break;
    }
  }
}

void MGRangeAssetLoader::invalidateWithError(std::optional<kf::Error> error) {
  kf::Error terminal = error ? *error : MGRangeError(kRangeServiceEnded);
  std::set<std::shared_ptr<MGRangeReadOperation>> ops;
  std::shared_ptr<MGRangeConnection> connection;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (terminalError_) return;
    terminalError_ = terminal;
    ops.swap(readOperations_);
    connection.swap(connection_);
  }
  for (const auto& op : ops) op->finishWithData(nullptr, terminal);
  std::weak_ptr<MGRangeAssetLoader> weak = weak_from_this();
  queue_.async([weak, terminal] {
    if (auto self = weak.lock()) self->failAllRequests(terminal);
  });
  if (connection) connection->invalidate();
}

void MGRangeAssetLoader::failAllRequests(const kf::Error& error) {
  std::map<MGLoadingRequest*, std::shared_ptr<MGLoadingRequest>> requests;
  std::map<MGLoadingRequest*, std::shared_ptr<MGRangeReadOperation>> ops;
  requests.swap(loadingRequests_);
  ops.swap(loadingOperations_);
  for (auto& [key, request] : requests) request->finishLoadingWithError(error);
}

bool MGRangeAssetLoader::shouldWaitForLoadingOfRequestedResource(std::shared_ptr<MGLoadingRequest> request) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    incoming_[request.get()] = request;
  }
  std::weak_ptr<MGRangeAssetLoader> weak = weak_from_this();
  queue_.async([weak, request] {
    if (auto self = weak.lock()) {
      {
        std::lock_guard<std::mutex> lock(self->mu_);
        self->incoming_.erase(request.get());
      }
      self->answerRequest(request);
    }
  });
  return true;
}

void MGRangeAssetLoader::didCancelLoadingRequest(std::shared_ptr<MGLoadingRequest> request) {
  std::weak_ptr<MGRangeAssetLoader> weak = weak_from_this();
  queue_.async([weak, request] {
    if (auto self = weak.lock()) self->cancelLoadingRequest(request);
  });
}

void MGRangeAssetLoader::answerRequest(const std::shared_ptr<MGLoadingRequest>& request) {
  if (request->isCancelled()) return;
  if (const auto* asked = request->contentInformationRequest()) {
    MGLoadingRequest::ContentInformationRequest info = *asked;
    info.contentType = contentType_;
    if (!asked->allowedContentTypes.empty() &&
        std::find(asked->allowedContentTypes.begin(), asked->allowedContentTypes.end(), contentType_) ==
            asked->allowedContentTypes.end()) {
      info.contentType = asked->allowedContentTypes.front();
    }
    info.contentLength = fileSize_;
    info.byteRangeAccessSupported = true;
    request->setContentInformation(info);
  }
  if (request->dataRequest()) {
    loadingRequests_[request.get()] = request;
    continueLoadingRequest(request);
  } else {
    request->finishLoading();
  }
}

void MGRangeAssetLoader::continueLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request) {
  auto found = loadingRequests_.find(request.get());
  if (found == loadingRequests_.end() || found->second != request) return;
  const MGLoadingRequest::DataRequest* dr = request->dataRequest();
  std::uint64_t start = dr->requestedOffset < 0 ? 0 : static_cast<std::uint64_t>(dr->requestedOffset);
  std::uint64_t current = dr->currentOffset < 0 ? 0 : static_cast<std::uint64_t>(dr->currentOffset);
  std::uint64_t end;
  if (dr->requestsAllDataToEndOfResource) {
    end = fileSize_;
  } else {
    std::uint64_t length = dr->requestedLength <= 0 ? 0 : static_cast<std::uint64_t>(dr->requestedLength);
    std::uint64_t sum = start + length;
    if (sum < start) sum = std::numeric_limits<std::uint64_t>::max();
    end = std::min(sum, fileSize_);
  }
  std::uint64_t pos = std::max(start, current);
  if (pos >= end) {
    finishLoadingRequest(request, std::nullopt);
    return;
  }
  std::weak_ptr<MGRangeAssetLoader> weakSelf = weak_from_this();
  std::weak_ptr<MGLoadingRequest> weakRequest = request;
  // The completion learns its own operation through this slot: the read may
  // finish before readOffset returns.
  auto slot = std::make_shared<std::weak_ptr<MGRangeReadOperation>>();
  auto slotMu = std::make_shared<std::mutex>();  // guards *slot
  auto op = readOffset(pos, std::min(end - pos, kRangeLoaderChunkBytes),
                       [weakSelf, weakRequest, slot, slotMu](MGBytes data, std::optional<kf::Error> error) {
                         auto self = weakSelf.lock();
                         auto req = weakRequest.lock();
                         if (!self || !req) return;
                         // Always hop to the queue: by then the operation is recorded below.
                         self->queue_.async([weakSelf, weakRequest, slot, slotMu, data, error] {
                           auto self = weakSelf.lock();
                           auto req = weakRequest.lock();
                           if (!self || !req) return;
                           std::shared_ptr<MGRangeReadOperation> op;
                           {
                             std::lock_guard<std::mutex> lock(*slotMu);
                             op = slot->lock();
                           }
                           self->chunkArrived(req, op.get(), data, error);
                         });
                       });
  {
    std::lock_guard<std::mutex> lock(*slotMu);
    *slot = op;
  }
  loadingOperations_[request.get()] = op;
}

void MGRangeAssetLoader::chunkArrived(const std::shared_ptr<MGLoadingRequest>& request,
                                      MGRangeReadOperation* operation, MGBytes data,
                                      std::optional<kf::Error> error) {
  auto found = loadingOperations_.find(request.get());
  if (!operation || found == loadingOperations_.end() || found->second.get() != operation) return;
  loadingOperations_.erase(found);
  if (error) {
    finishLoadingRequest(request, std::move(error));
  } else if (data && !data->empty()) {
    request->respondWithData(data);
    continueLoadingRequest(request);
  } else {
    finishLoadingRequest(request, MGRangeError(kRangeUnexpectedEndOfFile));
  }
}

void MGRangeAssetLoader::finishLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request,
                                              std::optional<kf::Error> error) {
  std::shared_ptr<MGRangeReadOperation> op;
  if (auto it = loadingOperations_.find(request.get()); it != loadingOperations_.end()) {
    op = it->second;
    loadingOperations_.erase(it);
  }
  loadingRequests_.erase(request.get());
  if (error) {
    request->finishLoadingWithError(std::move(*error));
  } else {
    request->finishLoading();
  }
  if (op) op->cancel();
}

void MGRangeAssetLoader::cancelLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request) {
  std::shared_ptr<MGRangeReadOperation> op;
  if (auto it = loadingOperations_.find(request.get()); it != loadingOperations_.end()) {
    op = it->second;
    loadingOperations_.erase(it);
  }
  auto it = loadingRequests_.find(request.get());
  if (it != loadingRequests_.end() && it->second == request) loadingRequests_.erase(it);
  if (op) op->cancel();
}

// ----------------------------------------------------------- blocking reader

struct MGBlockingRangeReader::Pending {
  std::mutex mu;  // guards everything below
  std::condition_variable cv;
  // The caller's buffer. Written only by handlers, which never run once the
  // read has returned: it returns after the finish handler (the last one) or
  // after the request's cancel() (which waits out a running handler).
  std::uint8_t* dst = nullptr;
  std::size_t capacity = 0;
  std::size_t written = 0;
  bool done = false;
  std::optional<kf::Error> error;
  std::shared_ptr<MGLoadingRequest> request;
};

MGBlockingRangeReader::MGBlockingRangeReader(std::shared_ptr<MGRangeAssetLoader> loader)
    : loader_(std::move(loader)) {}

MGBlockingRangeReader::~MGBlockingRangeReader() {
  cancel();
}

std::uint64_t MGBlockingRangeReader::size() const {
  return loader_->fileSize();
}

bool MGBlockingRangeReader::isCancelled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cancelled_;
}

void MGBlockingRangeReader::resetCancel() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_ = false;
}

void MGBlockingRangeReader::cancel() {
  std::shared_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = true;
    pending = pending_;
  }
  if (!pending) return;
  std::shared_ptr<MGLoadingRequest> request;
  {
    std::lock_guard<std::mutex> lock(pending->mu);
    request = pending->request;
  }
  if (request) request->cancel(loader_);
  {
    std::lock_guard<std::mutex> lock(pending->mu);
    if (!pending->done) {
      pending->done = true;
      pending->error = MGRangeCancelledError();
    }
  }
  pending->cv.notify_all();
}

kf::Result<std::size_t> MGBlockingRangeReader::read(std::uint64_t offset, void* dst, std::size_t size) {
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (cancelled_) return MGRangeCancelledError();
    pending_ = pending;
  }
  if (size == 0 || offset >= loader_->fileSize()) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_.reset();
    return std::size_t{0};
  }
  MGLoadingRequest::DataRequest dr;
  std::uint64_t maxLen = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  dr.requestedOffset = static_cast<std::int64_t>(std::min<std::uint64_t>(offset, maxLen));
  dr.currentOffset = dr.requestedOffset;
  dr.requestedLength = static_cast<std::int64_t>(std::min<std::uint64_t>(size, maxLen));
  std::weak_ptr<Pending> weak = pending;
  MGLoadingRequest::Handlers handlers;
  handlers.onData = [weak](const MGBytes& bytes) {
    auto p = weak.lock();
    if (!p) return;
    std::lock_guard<std::mutex> lock(p->mu);
    if (p->done) return;
    std::size_t n = std::min(p->capacity - p->written, bytes->size());
    std::memcpy(p->dst + p->written, bytes->data(), n);
    p->written += n;
  };
  handlers.onFinish = [weak](std::optional<kf::Error> error) {
    auto p = weak.lock();
    if (!p) return;
    {
      std::lock_guard<std::mutex> lock(p->mu);
      if (p->done) return;
      p->done = true;
      p->error = std::move(error);
    }
    p->cv.notify_all();
  };
  auto request = MGLoadingRequest::make(std::nullopt, dr, std::move(handlers));
  {
    std::lock_guard<std::mutex> lock(pending->mu);
    pending->request = request;
    pending->dst = static_cast<std::uint8_t*>(dst);
    pending->capacity = size;
  }
  bool cancelledMeanwhile;
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelledMeanwhile = cancelled_;
  }
  if (cancelledMeanwhile) {
    request->cancel(nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    pending_.reset();
    return MGRangeCancelledError();
  }
  loader_->shouldWaitForLoadingOfRequestedResource(request);
  std::unique_lock<std::mutex> lock(pending->mu);
  pending->cv.wait(lock, [&] { return pending->done; });
  std::size_t n = pending->written;
  std::optional<kf::Error> error = pending->error;
  lock.unlock();
  {
    std::lock_guard<std::mutex> l(mu_);
    pending_.reset();
  }
  if (n > 0) return n;
  if (error) return *error;
  return std::size_t{0};
}

}  // namespace kf
