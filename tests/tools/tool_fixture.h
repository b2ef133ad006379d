// Shared fixture of the tool tests that need invoices and credentials: a scratch directory,
// the example invoices and the test-only credentials bundled with the examples.
#ifndef KELVANE_TESTS_TOOLS_TOOL_FIXTURE_H
#define KELVANE_TESTS_TOOLS_TOOL_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "json_value.h"
#include "run_tool.h"

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static std::string Example(const std::string& name) { return std::string(KVN_EXAMPLES_DIR) + "/" + name; }
    static std::string Key() { return Example("test-credentials/test-csd-1024.key"); }
    static std::string Cert() { return Example("test-credentials/test-csd-1024.cer"); }
    static std::string PasswordFile() { return Example("test-credentials/password.txt"); }
    static constexpr const char* kPassword = "test-password";

    // Signs `example` into the scratch directory as `name`; fails the test on error.
    std::string SignExample(const std::string& example, const std::string& name);

    static JsonValue Json(const ToolRun& r);

    std::string dir_;
};

#endif
