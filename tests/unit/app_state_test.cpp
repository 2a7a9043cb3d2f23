// The process-wide defaults of the application core.
#include "app/app.h"

#include <gtest/gtest.h>

TEST(AppState, StartsWithTheDocumentedDefaults) {
    EXPECT_FALSE(appState.portOpen);
    EXPECT_FALSE(appState.debugPrint);
    EXPECT_EQ(appState.baudRate, 460800);
    EXPECT_FALSE(appState.showConnectionPanel || appState.showViewPanel || appState.showRecordPanel);
}
