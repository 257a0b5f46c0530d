#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
    // Case rules follow the user's locale, as in the program itself.
    if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
