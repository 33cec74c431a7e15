// A repository's objects in an S3 bucket (Amazon S3, Ceph's RADOS Gateway, or any service
// that speaks the same protocol), over libcurl, with requests signed by AWS Signature
// Version 4.
//
// Addresses: "s3:http://HOST[:PORT]/BUCKET[/PREFIX]" or "s3:https://...". Object "a/b" is
// the key "PREFIX/a/b". Requests go path-style (http://HOST/BUCKET/KEY) unless virtual-host
// addressing is asked for (http://BUCKET.HOST/KEY). Credentials come from AWS_ACCESS_KEY_ID,
// AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN, the region from AWS_DEFAULT_REGION or
// AWS_REGION (else "us-east-1"), the addressing from KESTREL_S3_ADDRESSING=virtual|path.
//
// Objects above a size threshold are uploaded in parts. Requests that fail with a 5xx or
// 429 status or a connection error are tried again after a growing pause; other failures
// are reported at once with the service's reason. Every call is safe from several threads
// at once: each request takes a curl handle from a small pool, so many can be in flight.
//
// Errors: repo::Error like every Backend (NotFound for a missing object or bucket, Io with
// the service's explanation for everything else, Invalid for a malformed address).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repo/backend.h"
#include "repo/error.h"

namespace repo {

// Where the objects are, from an "s3:" address.
struct S3Address {
    bool https = false;
    std::string host;    // "127.0.0.1:7480" or "s3.example.com": the authority as written
    std::string bucket;
    std::string prefix;  // without leading or trailing '/'; may be empty
};

// Whether `url` is an "s3:" address (malformed or not).
bool is_s3_address(std::string_view url);

// Parses an "s3:" address. Error::Invalid (naming what is wrong) for anything else.
S3Address parse_s3_address(std::string_view url);

struct S3Credentials {
    std::string access_key;
    std::string secret_key;
    std::string session_token;  // empty unless temporary credentials are used
};

// AWS Signature Version 4 for one request. `headers` are the headers to sign (names in any
// case, "host" among them); `canonical_uri` is the path as sent, already percent-encoded;
// `query` the decoded query parameters; `amz_date` is "YYYYMMDDTHHMMSSZ". Returns the value
// of the Authorization header.
std::string sigv4_authorization(const std::string& method, const std::string& canonical_uri,
                                const std::vector<std::pair<std::string, std::string>>& query,
                                const std::vector<std::pair<std::string, std::string>>& headers,
                                const std::string& payload_sha256_hex, const S3Credentials& creds,
                                const std::string& region, const std::string& service,
                                const std::string& amz_date);

// Lowercase hex of SHA-256 of `data`.
std::string sha256_hex(std::string_view data);

// Percent-encoding as SigV4 wants it: every byte but A-Z a-z 0-9 - _ . ~ (and '/' when
// `keep_slash`).
std::string uri_encode(std::string_view s, bool keep_slash);

// One page of a ListObjectsV2 answer.
struct S3ListPage {
    std::vector<ObjectInfo> objects;  // keys as the service sent them, with their sizes
    bool truncated = false;
    std::string next_token;           // set when truncated
};

// Parses a ListObjectsV2 answer strictly: anything but a well-formed ListBucketResult with
// sane keys, sizes and continuation is Error::Damaged. The text comes from the network and
// is treated as hostile: bounded depth, no entities but the five predefined and character
// references, no DOCTYPE.
S3ListPage parse_s3_list(std::string_view xml);

// The Code, Message and Region of an S3 <Error> document; empty strings when the text is
// not one.
struct S3ErrorInfo {
    std::string code;
    std::string message;
    std::string region;
};
S3ErrorInfo parse_s3_error(std::string_view xml);

// The HTTP exchange under the backend, replaceable in tests.
struct HttpRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string_view body;
    bool head = false;  // no body is expected in the answer
};

struct HttpResponse {
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    // The first header of that (lower-case) name, or "".
    std::string header(const std::string& name) const;
};

// Thrown by a transport when no HTTP answer came (refused, reset, timed out, cut short).
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Safe from several threads at once.
    virtual HttpResponse perform(const HttpRequest& request) = 0;
};

// libcurl with a pool of easy handles (kept for their connections).
std::unique_ptr<HttpTransport> make_curl_transport();

struct S3RetryPolicy {
    int attempts = 6;                                   // tries in all, the first included
    std::chrono::milliseconds first_delay{200};
    std::chrono::milliseconds max_delay{10000};
    // How a pause is taken; tests replace it to count pauses without waiting.
    std::function<void(std::chrono::milliseconds)> sleep;

    // The pause before try `attempt` (1 for the second try): doubling from first_delay,
    // at most max_delay, with up to a quarter taken off at random so that many clients
    // do not come back in step.
    std::chrono::milliseconds delay(int attempt) const;
};

struct S3Options {
    S3Credentials credentials;
    std::string region = "us-east-1";
    bool virtual_host = false;
    uint64_t multipart_threshold = 64ull << 20;  // objects larger than this go in parts
    uint64_t part_size = 16ull << 20;            // at least 5 MiB on S3
    unsigned list_page_size = 1000;              // keys per listing request (S3's most)
    S3RetryPolicy retry;

    // Credentials, region and addressing from the environment variables named above.
    // Error::Invalid when the credentials are missing.
    static S3Options from_environment();
};

class S3Backend : public Backend {
public:
    S3Backend(S3Address address, S3Options options,
              std::unique_ptr<HttpTransport> transport = make_curl_transport());

    const std::string& location() const override { return location_; }
    void save(const std::string& name, std::string_view data) override;
    void save_new(const std::string& name, std::string_view data) override;
    std::string load(const std::string& name) override;
    std::string load_range(const std::string& name, uint64_t offset, uint64_t length) override;
    std::optional<uint64_t> stat(const std::string& name) override;
    std::vector<ObjectInfo> list(const std::string& prefix) override;
    void save_hashed(const std::string& name, std::string_view data, const std::array<uint8_t, 32>& sha256) override;
    void remove(const std::string& name) override;
    void create() override;

private:
    struct Query : std::vector<std::pair<std::string, std::string>> {};

    std::string key(const std::string& name) const;
    // One signed request, tried again on 5xx, 429 and connection errors. `body_sha256` is
    // the body's SHA-256 in hex, computed here when empty.
    HttpResponse request(const std::string& method, const std::string& key, const Query& query,
                         std::vector<std::pair<std::string, std::string>> headers,
                         std::string_view body = {}, std::string body_sha256 = {});
    HttpResponse send_once(const std::string& method, const std::string& key, const Query& query,
                           const std::vector<std::pair<std::string, std::string>>& extra,
                           std::string_view body, const std::string& body_sha256);
    [[noreturn]] void fail(const std::string& what, const std::string& key, const HttpResponse& r) const;
    // One PUT, or a multipart upload for a large object; signed with `body_sha256` (the
    // data's, in hex) when given.
    void save_whole(const std::string& name, std::string_view data, std::string body_sha256);
    void save_in_parts(const std::string& name, std::string_view data);

    S3Address address_;
    S3Options options_;
    std::unique_ptr<HttpTransport> transport_;
    std::string location_;
};

// The store an address names: an "s3:" address gives an S3Backend configured from the
// environment, anything else is a directory for a LocalBackend on `env`.
std::unique_ptr<Backend> open_backend(Env& env, const std::string& url_or_dir);

} // namespace repo
