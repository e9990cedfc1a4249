#include <gtest/gtest.h>

#include "qDefs.h"
#include "qError.h"

TEST(ErrorText, NamesAndDescriptionsAtTheEnds) {
    EXPECT_STREQ(qError_GetErrorText(qErrNone), "qErrNone");
    EXPECT_STREQ(qError_GetErrorDescription(qErrNone), "Success, no error");
    EXPECT_STREQ(qError_GetErrorText(qErrUnknown), "qErrUnknown");
    EXPECT_STREQ(qError_GetErrorDescription(qErrShortCommand), "Lumenvane command to short");
    EXPECT_STREQ(qError_GetErrorText(qErrStreamStale), "qErrStreamStale");
    EXPECT_STREQ(qError_GetErrorDescription(qErrCancel), "Cancellation occurred, or did not complete");
}

TEST(ErrorText, OutOfRangeValuesReadAsUnknown) {
    for (int value : {35, 1000, -1, -35}) {
        SCOPED_TRACE(value);
        EXPECT_STREQ(qError_GetErrorText(static_cast<qErr>(value)), "qErrUnknown");
        EXPECT_STREQ(qError_GetErrorDescription(static_cast<qErr>(value)), "Unknown error");
    }
}

TEST(ErrorText, EveryValueHasItsOwnName) {
    for (int value = 0; value <= qErrUnknown; ++value) {
        for (int other = value + 1; other <= qErrUnknown; ++other) {
            EXPECT_STRNE(qError_GetErrorText(static_cast<qErr>(value)), qError_GetErrorText(static_cast<qErr>(other)));
        }
    }
}

TEST(ModelName, KnownCodesAndGaps) {
    const struct {
        unsigned code;
        const char* name;
    } cases[] = {{4, "Alder"},    {5, "Birch"},    {13, "Cedar"},   {26, "Pine"},     {27, "Quince"},
                 {0, "Unknown"},  {3, "Unknown"},  {6, "Unknown"},  {12, "Unknown"},  {28, "Unknown"},
                 {255, "Unknown"}};
    for (const auto& c : cases) EXPECT_STREQ(qDefs_GetModelName(c.code), c.name) << c.code;
}
