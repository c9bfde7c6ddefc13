#include "mux/AnswerTexts.h"

#include <gtest/gtest.h>

TEST(AnswerTexts, DetailedTextsNameTheLockAndGateway) {
    EXPECT_EQ(Mux::DetailedAnswerText(0, 4711, 1), "");
    EXPECT_EQ(Mux::DetailedAnswerText(2, 4711, 1),
              "Already in whitelist for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(3, 4711, 1),
              "Whitelist full for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(4, 4711, 1),
              "Not in whitelist for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(5, 4711, 1), "Unknown header version.");
    EXPECT_EQ(Mux::DetailedAnswerText(6, 4711, 1),
              "Request not supported for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(8, 4711, 1), "No route for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(9, 4711, 1),
              "Datalength mismatch the actual lock configuration.");
    EXPECT_EQ(Mux::DetailedAnswerText(10, 4711, 1),
              "Request message unexpected for device address 4711 on gateway 1");
    EXPECT_EQ(Mux::DetailedAnswerText(11, 4711, 1), "Setup number mismatch");
    EXPECT_EQ(Mux::DetailedAnswerText(12, 4711, 1),
              "System inconsistancy for device address 4711 on gateway 1. Check for LN, PHI or "
              "other key indexes that doesn't match the current configuration.");
    for (int unhandled : {1, 7, 13, 255}) {
        EXPECT_EQ(Mux::DetailedAnswerText(unhandled, 4711, 1),
                  "The gateway answered with an unhandled error code " + std::to_string(unhandled) +
                      " for the device with address 4711 on gateway 1");
    }
}

TEST(AnswerTexts, ShortTexts) {
    const char* expected[] = {"",
                              "Unhandled error code or unknown error.",
                              "Already in whitelist.",
                              "Whitelist full.",
                              "Not in whitelist.",
                              "Unknown header version.",
                              "Request not supported.",
                              "Unhandled error code or unknown error.",
                              "No route for the requested device. ",
                              "Datalength mismatch for the request message.",
                              "Request message unexpected.",
                              "Setup number mismatch.",
                              "System inconsistancy for the request message.",
                              "Unhandled error code or unknown error."};
    for (int code = 0; code < 14; ++code) {
        EXPECT_EQ(Mux::ShortAnswerText(code), expected[code]) << code;
    }
}
