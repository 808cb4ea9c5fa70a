#include "platform/linux/curl/curl_http_fetcher.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "update/update_checker.h"

namespace panelora {
namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    std::size_t maxBodyBytes = 0;
    std::vector<uint8_t> body;
    bool overLimit = false;
    const std::atomic<bool>* abort = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const size_t room = transfer.maxBodyBytes - transfer.body.size();
    const size_t kept = std::min(bytes, room);
    transfer.body.insert(transfer.body.end(), data, data + kept);
    if (kept < bytes) {
        transfer.overLimit = true;
        return 0;  // stops the transfer with CURLE_WRITE_ERROR
    }
    return bytes;
}

// Called about once a second even while nothing arrives, so an abort is seen promptly.
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->abort->load() ? 1 : 0;
}

std::optional<HttpFetcher::Response> perform(const HttpFetcher::Request& request,
                                             const CurlHttpFetcher::Options& options,
                                             const std::atomic<bool>& abort) {
    EasyHandle easy(curl_easy_init());
    if (!easy) return std::nullopt;
    CURL* h = easy.get();

    Transfer transfer;
    transfer.maxBodyBytes = request.maxBodyBytes;
    transfer.abort = &abort;

    // Neither this request nor a stored answer may come from or go into a cache on the way.
    HeaderList headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    if (!headers) return std::nullopt;
    if (!curl_slist_append(headers.get(), "Pragma: no-cache")) return std::nullopt;

    const std::string& url = options.urlOverride ? *options.urlOverride : request.url;
    const std::string userAgent = "Panelora/" + UpdateChecker::currentVersion();
    const long timeoutMs = static_cast<long>(std::max<int64_t>(request.timeout.count(), 1));

    bool ok = curl_easy_setopt(h, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_MAXREDIRS, CurlHttpFetcher::maxRedirects) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str()) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    if (ok && options.caBundlePath) {
        // Only the given authorities: no system directory of certificates besides them.
        ok = curl_easy_setopt(h, CURLOPT_CAINFO, options.caBundlePath->c_str()) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    if (!ok) return std::nullopt;

    const CURLcode result = curl_easy_perform(h);
    // A body cut at the limit is still the server's answer; the caller judges its length.
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.overLimit)) {
        return std::nullopt;
    }
    long status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status == 0) {
        return std::nullopt;
    }
    return HttpFetcher::Response{status, std::move(transfer.body)};
}

}  // namespace

struct CurlHttpFetcher::Shared {
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
    };

    std::atomic<bool> stopping{false};
    std::mutex mutex;  // guards workers
    std::list<Worker> workers;
};

CurlHttpFetcher::CurlHttpFetcher(Options options)
    : options_(std::move(options)), shared_(std::make_shared<Shared>()) {
    initialiseCurlOnce();
}

CurlHttpFetcher::~CurlHttpFetcher() {
    shared_->stopping = true;
    std::list<Shared::Worker> workers;
    {
        std::lock_guard lock(shared_->mutex);
        workers.swap(shared_->workers);
    }
    for (auto& worker : workers) {
        // Destroyed from a completion after all: that thread cannot wait for itself.
        if (worker.thread.get_id() == std::this_thread::get_id()) {
            worker.thread.detach();
        } else {
            worker.thread.join();
        }
    }
}

void CurlHttpFetcher::fetch(Request request, Completion done) {
    std::list<Shared::Worker> finished;
    {
        std::lock_guard lock(shared_->mutex);
        // Threads of earlier checks that are done: joined below, outside the lock.
        for (auto it = shared_->workers.begin(); it != shared_->workers.end();) {
            const auto next = std::next(it);
            if (it->finished->load()) finished.splice(finished.end(), shared_->workers, it);
            it = next;
        }
        auto& worker = shared_->workers.emplace_back();
        // The thread keeps the shared state alive; the destructor joins it before letting go.
        worker.thread =
            std::thread([shared = shared_, options = options_, request = std::move(request),
                         done = std::move(done), finishedFlag = worker.finished]() mutable {
                auto response = perform(request, options, shared->stopping);
                if (!shared->stopping && done) done(std::move(response));
                done = nullptr;
                finishedFlag->store(true);
            });
    }
    for (auto& worker : finished)
        worker.thread.join();
}

}  // namespace panelora
