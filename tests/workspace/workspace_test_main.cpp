// The workspace is a QObject that posts its results through the event loop: the tests run under a
// QCoreApplication, with the locale pinned and the settings in a folder of their own.

#include <QCoreApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "scoped_env.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const kivo::testing::ShortTempDir config;
    // Read once, when the first settings object is made.
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    QCoreApplication application(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    return RUN_ALL_TESTS();
}
