#include "platform/macos/shell/url_session_fetcher.h"

#import <Foundation/Foundation.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/macos/portable/fetch_result.h"

namespace panelora {

struct URLSessionFetcher::Shared {
    std::mutex mutex;
    std::condition_variable idle;
    bool open = true;  // guarded
    int running = 0;   // completions being called; guarded
    NSMutableSet<NSURLSession*>* sessions = [NSMutableSet set];  // in flight; guarded

    // Calls `done` unless the fetcher is gone; counted so that the destructor can wait for it.
    void finish(NSURLSession* session, const Completion& done,
                std::optional<HttpFetcher::Response> result) {
        {
            std::lock_guard lock(mutex);
            if (session) [sessions removeObject:session];
            if (!open) return;
            ++running;
        }
        done(std::move(result));
        std::lock_guard lock(mutex);
        if (--running == 0) idle.notify_all();
    }
};

URLSessionFetcher::URLSessionFetcher() : shared_(std::make_shared<Shared>()) {}

URLSessionFetcher::~URLSessionFetcher() {
    NSSet<NSURLSession*>* sessions = nil;
    std::unique_lock lock(shared_->mutex);
    shared_->open = false;
    sessions = [shared_->sessions copy];
    [shared_->sessions removeAllObjects];
    lock.unlock();
    for (NSURLSession* session in sessions)
        [session invalidateAndCancel];
    lock.lock();
    shared_->idle.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->running == 0; });
}

void URLSessionFetcher::fetch(Request request, Completion done) {
    NSString* address = [NSString stringWithUTF8String:request.url.c_str()];
    NSURL* url = address && isHttpsURL(request.url) ? [NSURL URLWithString:address] : nil;
    if (!url) {
        // Still not on the caller's stack: the seam promises the answer comes later.
        auto shared = shared_;
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{
          shared->finish(nil, done, std::nullopt);
        });
        return;
    }
    const NSTimeInterval timeout = std::chrono::duration<double>(request.timeout).count();
    NSURLSessionConfiguration* configuration =
        [NSURLSessionConfiguration ephemeralSessionConfiguration];
    configuration.requestCachePolicy = NSURLRequestReloadIgnoringLocalCacheData;
    configuration.URLCache = nil;
    configuration.timeoutIntervalForRequest = timeout;
    configuration.timeoutIntervalForResource = timeout;
    NSURLSession* session = [NSURLSession sessionWithConfiguration:configuration];
    NSURLRequest* get = [NSURLRequest requestWithURL:url
                                         cachePolicy:NSURLRequestReloadIgnoringLocalCacheData
                                     timeoutInterval:timeout];
    auto shared = shared_;
    const size_t maxBody = request.maxBodyBytes;
    // The session is held by the handler until the transfer ends, then let go.
    NSURLSessionDataTask* task = [session
        dataTaskWithRequest:get
          completionHandler:^(NSData* data, NSURLResponse* response, NSError* error) {
            URLAnswer answer;
            answer.transportFailed = error != nil;
            NSString* finalURL = nil;
            if ([response isKindOfClass:[NSHTTPURLResponse class]]) {
                answer.isHTTP = true;
                answer.statusCode = static_cast<long>(((NSHTTPURLResponse*)response).statusCode);
                finalURL = response.URL.absoluteString;
            }
            const char* finalText = finalURL.UTF8String;
            answer.finalURL = finalText ? finalText : "";
            answer.body = std::span<const uint8_t>(static_cast<const uint8_t*>(data.bytes),
                                                   data ? data.length : 0);
            [session finishTasksAndInvalidate];
            shared->finish(session, done, fetchResult(answer, maxBody));
          }];
    bool open = false;
    {
        std::lock_guard lock(shared_->mutex);
        open = shared_->open;
        if (open) [shared_->sessions addObject:session];
    }
    // A fetcher going meanwhile has cancelled the session: the task then ends at once, unheard.
    if (open) {
        [task resume];
    } else {
        [session invalidateAndCancel];
    }
}

}  // namespace panelora
