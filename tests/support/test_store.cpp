#include "tests/support/test_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace repo_test {

std::string s3_test_address()
{
    if (const char* a = std::getenv("KESTREL_S3_TEST"); a && *a)
        return a;
    if (const char* a = std::getenv("KESTREL_REPOSITORY"); a && repo::is_s3_address(a))
        return a;
    return {};
}

bool s3_required()
{
    const char* r = std::getenv("KESTREL_REQUIRE_S3");
    return r && *r && std::string(r) != "0";
}

std::string fresh_s3_address(const std::string& tag)
{
    std::string base = s3_test_address();
    if (base.empty())
        return "";
    while (base.back() == '/')
        base.pop_back();
    std::random_device rd;
    char suffix[17];
    snprintf(suffix, sizeof suffix, "%08x%08x", rd(), rd());
    return base + "/" + tag + "-" + suffix;
}

S3Sweep::~S3Sweep()
{
    if (address.empty())
        return;
    try {
        repo::S3Backend b(repo::parse_s3_address(address), repo::S3Options::from_environment());
        for (const char* prefix : {"backups", "data", "index", "keys", "locks", "damaged"})
            for (const repo::ObjectInfo& o : b.list(prefix))
                b.remove(o.name);
        b.remove("config");
    } catch (const repo::Error& e) {
        fprintf(stderr, "cannot remove what the test stored under %s: %s\n", address.c_str(), e.what());
    }
}

repo::S3Options s3_test_options()
{
    repo::S3Options o = repo::S3Options::from_environment();
    o.part_size = 5u << 20;
    o.multipart_threshold = 6u << 20;
    o.list_page_size = 7;
    return o;
}

std::unique_ptr<repo::Backend> s3_test_store(const std::string& tag)
{
    std::string address = s3_test_address();
    if (address.empty())
        return nullptr;
    repo::S3Address a = repo::parse_s3_address(address);
    std::random_device rd;
    char suffix[17];
    snprintf(suffix, sizeof suffix, "%08x%08x", rd(), rd());
    a.prefix += (a.prefix.empty() ? "" : "/") + tag + "-" + suffix;
    return std::make_unique<repo::S3Backend>(a, s3_test_options());
}

std::vector<std::string> object_names(repo::Backend& store, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const auto& o : store.list(prefix))
        out.push_back(o.name);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace repo_test
