// The embedded image table: rows, names and text lengths as the build generated them.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/BinImage.h"

namespace {

struct Row {
    const char* name;
    int length;
};

TEST(EmbeddedImages, TableRowsNameTheirFileAndLength) {
    const Row rows[] = {{"M614829_MCU_61_V1_02.hex", 255861},
                        {"M614829_TX_XC7A15_V1_02.mcs", 2625949},
                        {"M614829_RX_XC7A15_V1_02.mcs", 3155785}};
    for (int r = 0; r < 3; ++r) {
        SCOPED_TRACE(rows[r].name);
        EXPECT_STREQ(AUTOGEN_FILES[r].filePath, rows[r].name);
        EXPECT_EQ(AUTOGEN_FILES[r].filePathLength, static_cast<char>(strlen(rows[r].name)));
        EXPECT_EQ(AUTOGEN_FILES[r].fileDataLength, rows[r].length);
        EXPECT_EQ(strlen(AUTOGEN_FILES[r].fileData), static_cast<size_t>(rows[r].length));
    }
    EXPECT_EQ(sizeof(M614829_MCU_61_V1_02_hex), 255862u);
    EXPECT_EQ(sizeof(M614829_TX_XC7A15_V1_02_mcs), 2625950u);
    EXPECT_EQ(sizeof(M614829_RX_XC7A15_V1_02_mcs), 3155786u);
}

}  // namespace
