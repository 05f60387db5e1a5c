#include "source/MGPrepareRangeAsset.h"

#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "source/MGFileRangeService.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGRangeError.h"
#include "source/MGSampleEntryRetag.h"
#include "source/MGSerialQueue.h"
#include "source/MGURL.h"

namespace kf {

namespace {

using Completion = std::function<void(MGPreparation)>;

// Delivers the result once, on the main thread.
class Delivery {
 public:
  Delivery(Scheduler& scheduler, Completion completion, std::function<void(const MGPreparation&)> prepared)
      : scheduler_(scheduler), completion_(std::move(completion)), prepared_(std::move(prepared)) {}
  void operator()(MGPreparation result) {
    Completion completion;
    {
      std::lock_guard<std::mutex> lock(mu_);
      completion.swap(completion_);
    }
    if (!completion) return;
    if (prepared_ && result.asset) prepared_(result);
    scheduler_.post([completion = std::move(completion), result = std::move(result)]() mutable {
      completion(std::move(result));
    });
  }

 private:
  Scheduler& scheduler_;
  std::mutex mu_;  // guards completion_
  Completion completion_;
  const std::function<void(const MGPreparation&)> prepared_;
};

std::string FileNameOr(const std::string& name) {
  return name.empty() ? "movie.mp4" : name;
}

void MGFailPreparation(std::optional<kf::Error> error, Delivery& deliver) {
  MGPreparation r;
  r.error = error ? *error : MGRangeError(kLarderUnavailable);
  deliver(std::move(r));
}

MGAssetDescription MGOrdinaryAsset(const std::string& url, const std::string& path) {
  MGAssetDescription a;
  a.url = url;
  a.filePath = path;
  return a;
}

using FileOpener = std::function<std::shared_ptr<MGRangeServiceProtocol>(const std::string& path)>;

// The local path: serve the file ourselves when it needs retagging. Either
// way the media engine reads it through the service the scan read, so the
// index the scan read stays in memory.
void MGFallbackToOrdinaryAsset(const std::string& url, Delivery& deliver, const FileOpener& openFile) {
  auto path = MGPathFromFileURL(url);
  MGPreparation r;
  if (!path) {
    r.asset = MGOrdinaryAsset(url, url);
    deliver(std::move(r));
    return;
  }
  std::shared_ptr<MGRangeServiceProtocol> file;
  if (openFile)
    file = openFile(*path);
  else
    file = MGFileRangeService::create(*path);
  if (!file) {
    r.asset = MGOrdinaryAsset(url, *path);  // the media engine reports its own failure
    deliver(std::move(r));
    return;
  }
  auto service = std::make_shared<MGCapturingRangeService>(file, std::make_shared<MGByteCapture>());
  std::uint64_t size = 0;
  service->fileSizeWithReply([&](std::uint64_t s, std::optional<kf::Error>) { size = s; });
  std::string fileName = FileNameOr(MGLastPathComponent(*path));
  // The file service answers synchronously, so the scan completes here.
  std::optional<MGRetagTable> table;
  MGScanSampleEntryRetags(service, size, MGPathExtension(*path),
                          [&](MGRetagTable t) { table = std::move(t); });
  r.source = service;
  if (table && !table->empty()) {
    auto loader = MGRangeAssetLoader::create(service, size, url, nullptr);
    loader->setRetags(std::move(*table));
    MGAssetDescription a;
    a.url = MGRangeAssetURL("file", fileName);
    r.asset = a;
    r.loader = std::move(loader);
  } else {
    r.asset = MGOrdinaryAsset(url, *path);
  }
  deliver(std::move(r));
}

// State shared by the steps of one Larder connection; every step runs on
// its serial queue, so `finished` needs no lock.
struct Preparation : std::enable_shared_from_this<Preparation> {
  Preparation(std::shared_ptr<Delivery> d, std::string u, std::string name, bool fb, FileOpener open)
      : deliver(std::move(d)), url(std::move(u)), fileName(std::move(name)), fallBackOnFailure(fb),
        openFile(std::move(open)) {}

  std::shared_ptr<Delivery> deliver;
  const std::string url;
  const std::string fileName;
  const bool fallBackOnFailure;
  const FileOpener openFile;
  // Never waits when destroyed: the last reference may be dropped by the
  // connection's reader thread while this queue's task is tearing the
  // connection down (and waiting for that reader).
  MGSerialQueue queue{"com.marrowgate.kerfline.range-preparation", /*waitOnDestroy=*/false};
  bool finished = false;
  std::weak_ptr<MGRangeAssetLoader> loader;
  // Set by the cancel function (any thread); the queue's steps look at it.
  std::atomic<bool> cancelled{false};
  std::weak_ptr<MGLarderConnection> connection;

  // On the queue: ends an undelivered preparation and its connection.
  void cancelNow() {
    if (finished) return;
    finished = true;
    if (auto c = connection.lock()) c->invalidate();
    MGFailPreparation(MGRangeCancelledError(), *deliver);
  }

  void failOrFallBack(std::optional<kf::Error> error) {
    if (fallBackOnFailure) {
      MGFallbackToOrdinaryAsset(url, *deliver, openFile);
    } else {
      MGFailPreparation(std::move(error), *deliver);
    }
  }

  void disconnected() {
    if (finished) {
      if (auto l = loader.lock()) l->invalidateWithError(MGRangeError(kLarderDisconnected));
      return;
    }
    finished = true;
    failOrFallBack(MGRangeError(kLarderDisconnected));
  }
};

// Runs on the preparation queue of `prep`.
void MGPrepareRangeAssetWithService(const std::shared_ptr<Preparation>& prep, const MGLarderServiceRef& ref,
                                    double timeoutSeconds) {
  if (prep->cancelled) return prep->cancelNow();
  auto connected =
      MGLarderConnection::connect(ref.socketPath, ref.serviceName, ref.itemIdentifier, timeoutSeconds);
  if (connected.ok() && prep->cancelled) {
    (*connected)->invalidate();
    return prep->cancelNow();
  }
  if (!connected.ok()) {
    prep->finished = true;
    prep->failOrFallBack(connected.error());
    return;
  }
  std::shared_ptr<MGLarderConnection> connection = *connected;
  prep->connection = connection;
  std::weak_ptr<Preparation> weakPrep = prep;
  // The handlers keep the preparation alive for as long as the connection
  // lives: after delivery their one job is to end the delivered loader.
  auto onDrop = [prep] { prep->queue.async([prep] { prep->disconnected(); }); };
  connection->setInterruptionHandler(onDrop);
  connection->setInvalidationHandler(onDrop);
  connection->resume();

  // The pending reply holds the connection until it is answered or the
  // connection ends (which answers it with error 6).
  connection->fileSizeWithReply([weakPrep, connection](std::uint64_t size, std::optional<kf::Error> error) {
    auto prep = weakPrep.lock();
    if (!prep) return;
    prep->queue.async([prep, connection, size, error] {
      if (prep->finished) return;
      if (error || size == 0) {
        prep->finished = true;
        if (connection) connection->invalidate();
        prep->failOrFallBack(error ? *error : MGRangeError(kMovieEmpty));
        return;
      }
      std::string ext = MGPathExtension(prep->fileName);
      // The loader reads through what the scan read: the index crosses the
      // connection once.
      auto service = std::make_shared<MGCapturingRangeService>(connection, std::make_shared<MGByteCapture>());
      MGScanSampleEntryRetags(service, size, ext, [prep, connection, service, size](MGRetagTable table) {
        prep->queue.async([prep, connection, service, size, table = std::move(table)]() mutable {
          if (prep->finished) return;
          auto loader = MGRangeAssetLoader::create(service, size, prep->url, connection);
          loader->setRetags(std::move(table));
          prep->loader = loader;
          prep->finished = true;
          MGPreparation r;
          MGAssetDescription a;
          a.url = MGRangeAssetURL("larder", prep->fileName);
          r.asset = a;
          r.loader = std::move(loader);
          r.servedByLarder = true;
          r.source = service;
          (*prep->deliver)(std::move(r));
        });
      });
    });
  });
}

}  // namespace

std::string MGRangeAssetURL(const std::string& host, const std::string& fileName) {
  return std::string(kRangeAssetScheme) + "://" + host + "/" + MGPercentEncodePath(FileNameOr(fileName));
}

MGCancelPreparation MGPrepareRangeAssetForURL(const std::string& url, Scheduler& scheduler, Completion completion,
                                              MGPreparationOptions options) {
  auto deliver = std::make_shared<Delivery>(scheduler, std::move(completion), options.prepared);
  std::string registry =
      options.registryDirectory.empty() ? MGLarderRegistryDirectory() : options.registryDirectory;
  auto parts = MGParseURL(url);
  bool handoff = parts && parts->scheme == "kerfline" && parts->host == "larder";
  auto filePath = MGPathFromFileURL(url);
  if (!handoff && !filePath) {
    MGFailPreparation(MGRangeError(kUnsupportedURLType), *deliver);
    return [] {};
  }
  // The look-ups touch the file system and the connection blocks: both run on
  // the preparation queue.
  std::string fileName = handoff ? MGLastPathComponent(parts->path) : MGLastPathComponent(*filePath);
  auto prep =
      std::make_shared<Preparation>(deliver, url, FileNameOr(fileName), /*fallBackOnFailure=*/!handoff, options.openFile);
  double timeout = options.connectTimeoutSeconds;
  MGCancelPreparation cancel = [weak = std::weak_ptr<Preparation>(prep)] {
    if (auto p = weak.lock()) {
      p->cancelled = true;
      p->queue.async([p] { p->cancelNow(); });
    }
  };
  if (handoff) {
    std::string query = parts->query;
    prep->queue.async([prep, registry, query, timeout] {
      auto items = MGQueryItems(query);
      std::string domainId = items.count("domain") ? items["domain"] : "";
      std::string item = items.count("item") ? items["item"] : "";
      if (domainId.empty() || item.empty()) {
        prep->finished = true;
        return MGFailPreparation(MGRangeError(kHandoffMissingIdentifiers), *prep->deliver);
      }
      auto domain = MGLookupLarderDomain(registry, domainId);
      if (!domain) {
        prep->finished = true;
        return MGFailPreparation(MGRangeError(kLarderDomainUnavailable), *prep->deliver);
      }
      auto service = MGLarderServiceWithName(*domain, kLarderByteRangeServiceName, item);
      if (!service) {
        prep->finished = true;
        return MGFailPreparation(MGRangeError(kLarderServiceNotProvided), *prep->deliver);
      }
      MGPrepareRangeAssetWithService(prep, *service, timeout);
    });
    return cancel;
  }
  std::string path = *filePath;
  prep->queue.async([prep, registry, path, timeout] {
    // Only a regular file is a movie: a FIFO or device would block or never
    // end the readers that open it.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      prep->finished = true;
      return MGFailPreparation(kf::Error{kf::kKerflineErrorDomain, 1, "This movie cannot be played."}, *prep->deliver);
    }
    auto services = MGFileProviderServicesForItem(registry, path);
    auto it = services.find(kLarderByteRangeServiceName);
    if (it == services.end()) it = services.find(kLarderRangeServiceName);
    if (it == services.end()) {
      prep->finished = true;
      return MGFallbackToOrdinaryAsset(prep->url, *prep->deliver, prep->openFile);
    }
    MGPrepareRangeAssetWithService(prep, it->second, timeout);
  });
  return cancel;
}

}  // namespace kf
