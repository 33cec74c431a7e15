// Running the kestrel program from tests: its exit code and output, and the result object of
// a --json run. Header-only: KESTREL_BINARY is the including test program's definition.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/support/repo_source.h"

namespace cli_test {

// While one lives, the kestrel commands a test runs find this password in KESTREL_PASSWORD,
// as a user's script would give it (a repository a backup creates is then encrypted).
class PasswordInEnvironment {
public:
    explicit PasswordInEnvironment(const std::string& password = "test password")
    {
        setenv("KESTREL_PASSWORD", password.c_str(), 1);
    }
    ~PasswordInEnvironment() { unsetenv("KESTREL_PASSWORD"); }
    PasswordInEnvironment(const PasswordInEnvironment&) = delete;
    PasswordInEnvironment& operator=(const PasswordInEnvironment&) = delete;
};

struct Result {
    int code;
    std::string out;
};

// kestrel ARGS, standard output and error together.
inline Result kestrel(const std::string& args)
{
    Result r;
    r.code = repo_test::run(std::string(KESTREL_BINARY) + " " + args, &r.out);
    return r;
}

// The result object of a --json run, from stdout only. Every line of it must be one JSON
// object: progress objects whose share done never goes back, then exactly one result,
// "summary" or "error" (with ok false).
inline nlohmann::json json_result(const std::string& out)
{
    std::istringstream lines(out);
    std::string line;
    nlohmann::json last;
    int64_t percent = -1;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(last.is_null()) << "a line after the result: " << line;
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded()) {
            ADD_FAILURE() << "not a line of JSON: " << line;
            continue;
        }
        if (j["type"] == "progress") {
            EXPECT_GT(j["percent"].get<int64_t>(), percent) << line;
            EXPECT_LE(j["done"], j["total"]) << line;
            percent = j["percent"];
            continue;
        }
        EXPECT_TRUE(j["type"] == "summary" || (j["type"] == "error" && j["ok"] == false)) << line;
        last = j;
    }
    EXPECT_FALSE(last.is_null()) << "no result in: " << out;
    return last;
}

// kestrel ARGS (which hold --json), expecting `expect_code`: its result object.
inline nlohmann::json kestrel_json(const std::string& args, int expect_code = 0)
{
    Result r;
    // In braces: run() sends stderr to the output after the command's own redirections.
    r.code = repo_test::run("true; { " + std::string(KESTREL_BINARY) + " " + args + " 2>/dev/null; }", &r.out);
    EXPECT_EQ(r.code, expect_code) << args << "\n" << r.out;
    return json_result(r.out);
}

} // namespace cli_test
