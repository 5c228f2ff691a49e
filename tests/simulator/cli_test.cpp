#include <gtest/gtest.h>

#include "cli.h"

using namespace metersim;

// Answer content and the LLC check are exercised through the server tests.
TEST(CommandLine, ValidatesAgainstTheFrameFormat) {
    const Options o = parseOptions({"--server-address-size", "4", "--server-lower", "16383", "--max-info-tx", "2035",
                                    "--answer", "size:1048576"});
    EXPECT_EQ(o.server.address, (Address{1, 16383, 4}));
    EXPECT_EQ(o.server.params.maxInfoTx, 2035u);
    EXPECT_EQ(o.answer.size, 1048576u);

    using Args = std::vector<std::string>;
    for (const Args& bad : {Args{"--server-address-size", "3"}, Args{"--server-upper", "128"},
                            Args{"--max-info-tx", "2036", "--server-address-size", "4"}, Args{"--max-info-tx", "0"},
                            Args{"--answer", "size:"}, Args{"--answer", "size:1k"}, Args{"--baud", "fast"},
                            Args{"--drop-every"}, Args{"--bogus"}})
        EXPECT_THROW(parseOptions(bad), std::invalid_argument) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
}
