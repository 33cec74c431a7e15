// The S3 store: addresses, request signing, retries, and each Backend call as S3 requests.
#include "repo/s3_backend.h"

#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>
#include <thread>

#include "repo/s3_xml.h"

namespace repo {

// ---- addresses ----

bool is_s3_address(std::string_view url)
{
    return url.substr(0, 3) == "s3:";
}

S3Address parse_s3_address(std::string_view url)
{
    auto bad = [&](const std::string& why) -> S3Address {
        throw Error(Error::Kind::Invalid, "not a valid s3: address (" + why + ")", std::string(url));
    };
    if (!is_s3_address(url))
        return bad("it must start with s3:");
    std::string_view rest = url.substr(3);
    S3Address a;
    if (rest.substr(0, 7) == "http://") {
        rest.remove_prefix(7);
    } else if (rest.substr(0, 8) == "https://") {
        a.https = true;
        rest.remove_prefix(8);
    } else {
        a.https = true; // "s3:HOST/BUCKET": https, as for the public services
    }
    if (rest.find_first_of("?#") != std::string_view::npos)
        return bad("no query or fragment is allowed");
    size_t slash = rest.find('/');
    a.host = std::string(rest.substr(0, slash));
    if (a.host.empty())
        return bad("no host");
    if (a.host.find('@') != std::string::npos)
        return bad("credentials belong in AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, not in the address");
    for (char c : a.host)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return bad("bad character in the host");
    if (slash == std::string_view::npos)
        return bad("no bucket");
    rest.remove_prefix(slash + 1);
    slash = rest.find('/');
    a.bucket = std::string(rest.substr(0, slash));
    if (a.bucket.size() < 3 || a.bucket.size() > 63)
        return bad("a bucket name has 3 to 63 characters");
    for (char c : a.bucket)
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
            return bad("bad character in the bucket name");
    if (slash != std::string_view::npos) {
        std::string_view prefix = rest.substr(slash + 1);
        while (!prefix.empty() && prefix.back() == '/')
            prefix.remove_suffix(1);
        if (!prefix.empty() && !valid_object_name(prefix))
            return bad("the path after the bucket must be names of letters, digits, '-', '_' and '.'");
        a.prefix = std::string(prefix);
    }
    return a;
}

// ---- signing ----

namespace {

std::string hex(const unsigned char* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string hmac(std::string_view key, std::string_view data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Header values as signed: outer spaces dropped, inner runs of spaces made one.
std::string trim_value(std::string_view v)
{
    std::string out;
    bool space = false;
    for (char c : v) {
        if (c == ' ' || c == '\t') {
            space = !out.empty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
    }
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string canonical_query(const Pairs& query)
{
    Pairs enc;
    for (const auto& [k, v] : query)
        enc.emplace_back(uri_encode(k, false), uri_encode(v, false));
    std::sort(enc.begin(), enc.end());
    std::string out;
    for (const auto& [k, v] : enc)
        out += (out.empty() ? "" : "&") + k + "=" + v;
    return out;
}

} // namespace

std::string sha256_hex(std::string_view data)
{
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
    return hex(d, sizeof d);
}

std::string uri_encode(std::string_view s, bool keep_slash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string sigv4_authorization(const std::string& method, const std::string& canonical_uri, const Pairs& query,
                                const Pairs& headers, const std::string& payload_sha256_hex,
                                const S3Credentials& creds, const std::string& region,
                                const std::string& service, const std::string& amz_date)
{
    Pairs canon;
    for (const auto& [k, v] : headers)
        canon.emplace_back(lower(k), trim_value(v));
    std::sort(canon.begin(), canon.end());
    std::string header_lines, signed_headers;
    for (const auto& [k, v] : canon) {
        header_lines += k + ":" + v + "\n";
        signed_headers += (signed_headers.empty() ? "" : ";") + k;
    }
    std::string request = method + "\n" + canonical_uri + "\n" + canonical_query(query) + "\n" + header_lines +
                          "\n" + signed_headers + "\n" + payload_sha256_hex;
    std::string date = amz_date.substr(0, 8);
    std::string scope = date + "/" + region + "/" + service + "/aws4_request";
    std::string to_sign = "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope + "\n" + sha256_hex(request);
    std::string key = hmac(hmac(hmac(hmac("AWS4" + creds.secret_key, date), region), service), "aws4_request");
    std::string sig = hmac(key, to_sign);
    return "AWS4-HMAC-SHA256 Credential=" + creds.access_key + "/" + scope + ", SignedHeaders=" + signed_headers +
           ", Signature=" + hex(reinterpret_cast<const unsigned char*>(sig.data()), sig.size());
}

// ---- retries, options ----

std::string HttpResponse::header(const std::string& name) const
{
    for (const auto& [k, v] : headers)
        if (k == name)
            return v;
    return {};
}

std::chrono::milliseconds S3RetryPolicy::delay(int attempt) const
{
    auto d = first_delay;
    for (int i = 1; i < attempt && d < max_delay; i++)
        d *= 2;
    d = std::min(d, max_delay);
    thread_local std::minstd_rand rng{std::random_device{}()};
    auto off = d.count() / 4 > 0 ? std::uniform_int_distribution<long>(0, d.count() / 4)(rng) : 0;
    return std::chrono::milliseconds(d.count() - off);
}

S3Options S3Options::from_environment()
{
    auto env = [](const char* n) {
        const char* v = std::getenv(n);
        return std::string(v ? v : "");
    };
    S3Options o;
    o.credentials.access_key = env("AWS_ACCESS_KEY_ID");
    o.credentials.secret_key = env("AWS_SECRET_ACCESS_KEY");
    o.credentials.session_token = env("AWS_SESSION_TOKEN");
    if (o.credentials.access_key.empty() || o.credentials.secret_key.empty())
        throw Error(Error::Kind::Invalid,
                    "an s3: repository needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment");
    if (!env("AWS_DEFAULT_REGION").empty())
        o.region = env("AWS_DEFAULT_REGION");
    else if (!env("AWS_REGION").empty())
        o.region = env("AWS_REGION");
    std::string addressing = env("KESTREL_S3_ADDRESSING");
    if (addressing == "virtual")
        o.virtual_host = true;
    else if (!addressing.empty() && addressing != "path")
        throw Error(Error::Kind::Invalid, "KESTREL_S3_ADDRESSING must be \"path\" or \"virtual\"");
    return o;
}

// ---- the backend ----

S3Backend::S3Backend(S3Address address, S3Options options, std::unique_ptr<HttpTransport> transport)
    : address_(std::move(address)), options_(std::move(options)), transport_(std::move(transport))
{
    if (options_.part_size == 0 || options_.multipart_threshold < options_.part_size)
        throw Error(Error::Kind::Invalid, "the S3 part size must be positive and at most the multipart threshold");
    if (!options_.retry.sleep)
        options_.retry.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    location_ = std::string("s3:") + (address_.https ? "https://" : "http://") + address_.host + "/" +
                address_.bucket + (address_.prefix.empty() ? "" : "/" + address_.prefix);
}

std::string S3Backend::key(const std::string& name) const
{
    if (!valid_object_name(name))
        throw Error(Error::Kind::Invalid, "not a valid object name: \"" + name + "\"", location_);
    return address_.prefix.empty() ? name : address_.prefix + "/" + name;
}

HttpResponse S3Backend::send_once(const std::string& method, const std::string& key, const Query& query,
                                  const Pairs& extra, std::string_view body, const std::string& body_sha256)
{
    std::string host = options_.virtual_host ? address_.bucket + "." + address_.host : address_.host;
    std::string path = options_.virtual_host ? "/" + uri_encode(key, true)
                                             : "/" + address_.bucket + (key.empty() ? "" : "/" + uri_encode(key, true));
    char date[20];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%Y%m%dT%H%M%SZ", &tm);

    Pairs headers = extra;
    headers.emplace_back("host", host);
    headers.emplace_back("x-amz-date", date);
    headers.emplace_back("x-amz-content-sha256", body_sha256);
    if (!options_.credentials.session_token.empty())
        headers.emplace_back("x-amz-security-token", options_.credentials.session_token);
    std::string auth = sigv4_authorization(method, path, query, headers, body_sha256, options_.credentials,
                                           options_.region, "s3", date);

    HttpRequest req;
    req.method = method;
    req.head = method == "HEAD";
    std::string q = canonical_query(query);
    req.url = (address_.https ? "https://" : "http://") + host + path + (q.empty() ? "" : "?" + q);
    for (auto& h : headers)
        if (h.first != "host") // curl sends Host from the URL
            req.headers.push_back(h);
    req.headers.emplace_back("Authorization", auth);
    req.body = body;
    return transport_->perform(req);
}

HttpResponse S3Backend::request(const std::string& method, const std::string& key, const Query& query,
                                Pairs headers, std::string_view body, std::string body_sha256)
{
    // Signed with the body's digest, computed once for every try.
    if (body_sha256.empty())
        body_sha256 = sha256_hex(body);
    const S3RetryPolicy& retry = options_.retry;
    for (int attempt = 0;; attempt++) {
        if (attempt > 0)
            retry.sleep(retry.delay(attempt));
        bool last = attempt + 1 >= std::max(retry.attempts, 1);
        try {
            HttpResponse r = send_once(method, key, query, headers, body, body_sha256);
            if ((r.status >= 500 || r.status == 429) && !last)
                continue;
            return r;
        } catch (const TransportError& e) {
            if (last)
                throw Error(Error::Kind::Io,
                            "the S3 service could not be reached (" + std::to_string(attempt + 1) +
                                " tries): " + e.what(),
                            location_);
        }
    }
}

void S3Backend::fail(const std::string& what, const std::string& key, const HttpResponse& r) const
{
    S3ErrorInfo e = parse_s3_error(r.body);
    std::string where = location_ + (key.empty() ? "" : " " + key);
    std::string region = !r.header("x-amz-bucket-region").empty() ? r.header("x-amz-bucket-region") : e.region;
    if (e.code == "NoSuchBucket")
        throw Error(Error::Kind::NotFound, "the bucket \"" + address_.bucket + "\" does not exist", location_);
    if (r.status == 404)
        throw Error(Error::Kind::NotFound, what + ": no such object", where);
    if (r.status == 301 || e.code == "PermanentRedirect" || e.code == "AuthorizationHeaderMalformed" ||
        e.code == "IllegalLocationConstraintException" || (r.status == 400 && !region.empty()))
        throw Error(Error::Kind::Io,
                    what + ": wrong region: the bucket is " + (region.empty() ? "elsewhere" : "in " + region) +
                        ", not in " + options_.region + " (set AWS_DEFAULT_REGION)",
                    where);
    if (e.code == "InvalidAccessKeyId")
        throw Error(Error::Kind::Io, what + ": the S3 service does not know the access key (AWS_ACCESS_KEY_ID)", where);
    if (e.code == "SignatureDoesNotMatch")
        throw Error(Error::Kind::Io,
                    what + ": the S3 service refused the signature: check AWS_SECRET_ACCESS_KEY", where);
    if (e.code == "RequestTimeTooSkewed")
        throw Error(Error::Kind::Io, what + ": this machine's clock is too far from the S3 service's", where);
    if (r.status == 403)
        throw Error(Error::Kind::Io,
                    what + ": access denied by the S3 service" + (e.code.empty() ? "" : " (" + e.code + ")"), where);
    std::string detail = e.code.empty() ? "" : " " + e.code + (e.message.empty() ? "" : ": " + e.message);
    throw Error(Error::Kind::Io, what + ": the S3 service answered " + std::to_string(r.status) + detail, where);
}

void S3Backend::save(const std::string& name, std::string_view data) { save_whole(name, data, {}); }

void S3Backend::save_hashed(const std::string& name, std::string_view data, const std::array<uint8_t, 32>& sha256)
{
    save_whole(name, data, hex(sha256.data(), sha256.size()));
}

void S3Backend::save_whole(const std::string& name, std::string_view data, std::string body_sha256)
{
    std::string k = key(name);
    // Parts are signed each with its own digest: the whole object's is of no use there.
    if (data.size() > options_.multipart_threshold)
        return save_in_parts(name, data);
    HttpResponse r = request("PUT", k, {}, {}, data, std::move(body_sha256));
    if (r.status != 200)
        fail("cannot store the object", k, r);
}

void S3Backend::save_new(const std::string& name, std::string_view data)
{
    std::string k = key(name);
    if (data.size() > options_.multipart_threshold)
        throw Error(Error::Kind::Invalid, "an object stored only when new must be small", location_ + " " + k);
    // The service stores it only when no object of the name exists (a conditional write).
    HttpResponse r = request("PUT", k, {}, {{"if-none-match", "*"}}, data);
    if (r.status == 200)
        return;
    if (r.status != 412 && r.status != 409)
        fail("cannot store the object", k, r);
    // Either another writer got there first, or this one did on a try whose answer was lost
    // and the retry found its own object.
    std::optional<std::string> there;
    try {
        there = load(name);
    } catch (const Error& e) {
        if (e.kind() != Error::Kind::NotFound)
            throw;
    }
    if (there && *there == data)
        return;
    throw Error(Error::Kind::Exists, "an object of that name exists", location_ + " " + k);
}

void S3Backend::save_in_parts(const std::string& name, std::string_view data)
{
    std::string k = key(name);
    Query start;
    start.emplace_back("uploads", "");
    HttpResponse r = request("POST", k, start, {}, {});
    if (r.status != 200)
        fail("cannot start a multipart upload", k, r);
    std::string upload_id;
    {
        s3xml::Node root = s3xml::parse(r.body);
        const s3xml::Node* id = root.child("UploadId");
        if (root.name != "InitiateMultipartUploadResult" || !id || id->text.empty() || id->text.size() > 1024)
            throw Error(Error::Kind::Damaged, "the S3 service did not give an upload id", location_ + " " + k);
        upload_id = id->text;
    }
    try {
        std::string complete = "<CompleteMultipartUpload>";
        int number = 1;
        for (uint64_t off = 0; off < data.size(); off += options_.part_size, number++) {
            Query q;
            q.emplace_back("partNumber", std::to_string(number));
            q.emplace_back("uploadId", upload_id);
            HttpResponse p = request("PUT", k, q, {}, data.substr(off, options_.part_size));
            std::string etag = p.header("etag");
            if (p.status != 200)
                fail("cannot store part " + std::to_string(number), k, p);
            if (etag.empty() || etag.find_first_of("<>&") != std::string::npos)
                throw Error(Error::Kind::Damaged, "the S3 service gave no usable ETag for a part", location_ + " " + k);
            complete += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + etag + "</ETag></Part>";
        }
        complete += "</CompleteMultipartUpload>";
        Query q;
        q.emplace_back("uploadId", upload_id);
        r = request("POST", k, q, {{"content-type", "application/xml"}}, complete);
        // The service may fail a completion with status 200 and an <Error> body; and when a
        // completion that took effect is tried again the upload is gone: then the object
        // is there with its size.
        S3ErrorInfo e = parse_s3_error(r.body);
        if (r.status == 404 && e.code == "NoSuchUpload" && stat(name) == data.size())
            return;
        if (r.status != 200 || !e.code.empty())
            fail("cannot complete a multipart upload", k, r);
    } catch (...) {
        Query q;
        q.emplace_back("uploadId", upload_id);
        try {
            request("DELETE", k, q, {});
        } catch (...) {
            // The parts stay until the bucket's lifecycle rules remove them.
        }
        throw;
    }
}

std::string S3Backend::load(const std::string& name)
{
    std::string k = key(name);
    HttpResponse r = request("GET", k, {}, {});
    if (r.status != 200)
        fail("cannot read the object", k, r);
    return std::move(r.body);
}

std::string S3Backend::load_range(const std::string& name, uint64_t offset, uint64_t length)
{
    std::string k = key(name);
    if (length == 0) {
        if (!stat(name))
            throw Error(Error::Kind::NotFound, "cannot read the object: no such object", location_ + " " + k);
        return {};
    }
    uint64_t last = length - 1 > UINT64_MAX - 1 - offset ? UINT64_MAX - 1 : offset + length - 1;
    HttpResponse r = request("GET", k, {}, {{"range", "bytes=" + std::to_string(offset) + "-" + std::to_string(last)}});
    if (r.status == 416)
        return {}; // the range starts at or past the end
    if (r.status == 200) // the service sent the whole object
        return offset >= r.body.size() ? std::string() : r.body.substr(offset, length);
    if (r.status != 206)
        fail("cannot read the object", k, r);
    if (r.body.size() > length)
        throw Error(Error::Kind::Damaged, "the S3 service sent more than the range asked for", location_ + " " + k);
    return std::move(r.body);
}

std::optional<uint64_t> S3Backend::stat(const std::string& name)
{
    std::string k = key(name);
    HttpResponse r = request("HEAD", k, {}, {});
    if (r.status == 404)
        return std::nullopt;
    if (r.status != 200)
        fail("cannot look up the object", k, r);
    std::string len = r.header("content-length");
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(len.data(), len.data() + len.size(), n);
    if (len.empty() || ec != std::errc() || end != len.data() + len.size())
        throw Error(Error::Kind::Damaged, "the S3 service gave no valid object size", location_ + " " + k);
    return n;
}

std::vector<ObjectInfo> S3Backend::list(const std::string& prefix)
{
    std::string full = key(prefix) + "/";
    size_t strip = address_.prefix.empty() ? 0 : address_.prefix.size() + 1;
    std::vector<ObjectInfo> out;
    std::set<std::string> tokens;
    std::string token;
    for (;;) {
        Query q;
        q.emplace_back("list-type", "2");
        q.emplace_back("prefix", full);
        q.emplace_back("max-keys", std::to_string(options_.list_page_size));
        if (!token.empty())
            q.emplace_back("continuation-token", token);
        HttpResponse r = request("GET", "", q, {});
        if (r.status != 200)
            fail("cannot list objects", full, r);
        S3ListPage page = parse_s3_list(r.body);
        for (auto& o : page.objects) {
            if (o.name.compare(0, full.size(), full) != 0)
                throw Error(Error::Kind::Damaged, "the S3 service listed a key outside the prefix: " + o.name, location_);
            std::string n = o.name.substr(strip);
            if (valid_object_name(n)) // anything else is not one of ours
                out.push_back({std::move(n), o.size});
        }
        if (!page.truncated)
            return out;
        if (!tokens.insert(page.next_token).second)
            throw Error(Error::Kind::Damaged, "the S3 service's listing goes round in a circle", location_);
        token = page.next_token;
    }
}

void S3Backend::remove(const std::string& name)
{
    std::string k = key(name);
    HttpResponse r = request("DELETE", k, {}, {});
    if (r.status == 204 || r.status == 200)
        return;
    if (r.status == 404 && parse_s3_error(r.body).code != "NoSuchBucket")
        return; // gone already
    fail("cannot remove the object", k, r);
}

void S3Backend::create()
{
    if (stat("config"))
        throw Error(Error::Kind::Exists, "a repository exists already", location_);
    // Anything under the prefix: a repository is made only where nothing is stored.
    std::string root = address_.prefix.empty() ? "" : address_.prefix + "/";
    Query q;
    q.assign({{"list-type", "2"}, {"prefix", root}, {"max-keys", "1"}});
    HttpResponse r = request("GET", "", q, {});
    if (r.status != 200)
        fail("cannot list objects", root, r);
    if (!parse_s3_list(r.body).objects.empty())
        throw Error(Error::Kind::Exists, "cannot create a repository where objects are stored already", location_);
}

std::unique_ptr<Backend> open_backend(Env& env, const std::string& url_or_dir)
{
    if (is_s3_address(url_or_dir))
        return std::make_unique<S3Backend>(parse_s3_address(url_or_dir), S3Options::from_environment());
    return std::make_unique<LocalBackend>(env, url_or_dir);
}

} // namespace repo
