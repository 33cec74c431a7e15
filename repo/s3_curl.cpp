// The S3 backend's HTTP exchange over libcurl. Easy handles are pooled so their connections
// are reused; each request holds one handle alone, so requests from several threads run
// side by side.
//
// A forked child (a file-system reader, repo/isolate.h) must not use a handle it inherited:
// its connection is the parent's socket too, so the two would interleave requests on one
// stream. The child leaves the inherited handles alone (cleaning one up could shut down a
// TLS session the parent still uses) and makes its own.
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "repo/s3_backend.h"

namespace repo {

namespace {

struct Upload {
    std::string_view body;
    size_t offset = 0;
};

size_t read_body(char* buf, size_t size, size_t n, void* arg)
{
    auto* up = static_cast<Upload*>(arg);
    size_t len = std::min(size * n, up->body.size() - up->offset);
    std::memcpy(buf, up->body.data() + up->offset, len);
    up->offset += len;
    return len;
}

size_t write_body(char* buf, size_t size, size_t n, void* arg)
{
    static_cast<std::string*>(arg)->append(buf, size * n);
    return size * n;
}

size_t take_header(char* buf, size_t size, size_t n, void* arg)
{
    auto* r = static_cast<HttpResponse*>(arg);
    std::string_view line(buf, size * n);
    if (line.substr(0, 5) == "HTTP/") {
        r->headers.clear(); // a new answer (after "100 Continue" or a redirect)
        return size * n;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return size * n;
    std::string name(line.substr(0, colon));
    for (char& c : name)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    r->headers.emplace_back(std::move(name), std::string(value));
    return size * n;
}

class CurlTransport : public HttpTransport {
public:
    CurlTransport()
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    ~CurlTransport() override
    {
        if (owner_ == getpid())
            for (CURL* h : idle_)
                curl_easy_cleanup(h);
    }

    HttpResponse perform(const HttpRequest& req) override
    {
        Handle h(*this);
        CURL* c = h.get();
        HttpResponse r;
        Upload up{req.body};
        char errbuf[CURL_ERROR_SIZE] = "";
        curl_slist* headers = nullptr;
        for (const auto& [k, v] : req.headers)
            headers = curl_slist_append(headers, (k + ": " + v).c_str());
        // No "Expect: 100-continue" round trip before each large upload.
        headers = curl_slist_append(headers, "Expect:");
        curl_easy_setopt(c, CURLOPT_URL, req.url.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 15L);
        // A connection that moves less than a byte a second for a minute is dead: fail it
        // (and so try again) rather than hang.
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, take_header);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
        if (req.head) {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else if (req.method == "PUT" || req.method == "POST") {
            curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(c, CURLOPT_READFUNCTION, read_body);
            curl_easy_setopt(c, CURLOPT_READDATA, &up);
            curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(req.body.size()));
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method.c_str());
        } else {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method.c_str());
        }
        CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(headers);
        if (rc != CURLE_OK)
            throw TransportError(std::string(curl_easy_strerror(rc)) + (*errbuf ? std::string(": ") + errbuf : ""));
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        return r;
    }

private:
    // A pooled handle for one request, reset to defaults (its connections stay cached).
    class Handle {
    public:
        explicit Handle(CurlTransport& t) : t_(t)
        {
            {
                std::lock_guard lock(t_.mutex_);
                if (t_.owner_ != getpid()) {
                    t_.idle_.clear();  // the parent's: dropped, not cleaned up
                    t_.owner_ = getpid();
                }
                if (!t_.idle_.empty()) {
                    h_ = t_.idle_.back();
                    t_.idle_.pop_back();
                }
            }
            if (h_)
                curl_easy_reset(h_);
            else if (!(h_ = curl_easy_init()))
                throw TransportError("cannot make a curl handle");
        }
        ~Handle()
        {
            std::lock_guard lock(t_.mutex_);
            if (t_.owner_ != getpid()) {
                // Taken before a fork, given back in the child: the parent's connection.
                return;
            }
            if (t_.idle_.size() < 32)
                t_.idle_.push_back(h_);
            else
                curl_easy_cleanup(h_);
        }
        CURL* get() const { return h_; }

    private:
        CurlTransport& t_;
        CURL* h_ = nullptr;
    };

    std::mutex mutex_;
    std::vector<CURL*> idle_;  // guarded by mutex_
    pid_t owner_ = getpid();   // the process whose handles idle_ holds; guarded by mutex_
};

} // namespace

std::unique_ptr<HttpTransport> make_curl_transport()
{
    return std::make_unique<CurlTransport>();
}

} // namespace repo
