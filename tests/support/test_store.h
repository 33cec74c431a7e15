// The store a repository test runs on: a local directory, or, when the environment points
// at an S3 gateway, a fresh place in its bucket.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "repo/backend.h"
#include "repo/s3_backend.h"

namespace repo_test {

// The S3 address tests may use: KESTREL_S3_TEST, else KESTREL_REPOSITORY when it is an
// "s3:" address; empty when there is none. Credentials come from the usual variables.
std::string s3_test_address();

// Options for test stores: credentials from the environment, small parts and listing pages
// so that multipart uploads and continued listings happen with little data.
repo::S3Options s3_test_options();

// An S3 store under a prefix of its own below the test address (none when there is no
// address).
std::unique_ptr<repo::Backend> s3_test_store(const std::string& tag);

// Whether KESTREL_REQUIRE_S3 asks S3 tests to fail rather than skip without a gateway.
bool s3_required();

// A fresh repository address below the test address, or "" when there is none.
std::string fresh_s3_address(const std::string& tag);

// Removes what a test stored under an S3 repository address when it ends ("": nothing).
struct S3Sweep {
    std::string address;
    ~S3Sweep();
};

// The names `store` lists under `prefix`, sorted.
std::vector<std::string> object_names(repo::Backend& store, const std::string& prefix);

} // namespace repo_test
