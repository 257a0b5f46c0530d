#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
    // A user's usual locale; the case rules themselves do not depend on it.
    if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
