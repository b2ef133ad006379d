#include "tool_fixture.h"

void ToolTest::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = MakeScratchDir(std::string(info->test_suite_name()) + "." + info->name());
}

std::string ToolTest::SignExample(const std::string& example, const std::string& name) {
    std::string out = Path(name);
    ToolRun r = RunTool({"sign", Example(example), "-k", Key(), "-c", Cert(), "--password-file", PasswordFile(),
                         "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
}

JsonValue ToolTest::Json(const ToolRun& r) {
    JsonValue v;
    EXPECT_TRUE(ParseJson(r.out, &v)) << "not JSON: " << r.out;
    return v;
}
