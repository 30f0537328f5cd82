// The window's tests run on the offscreen platform: no display needed.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "app/qt/QtTranslations.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    UseChineseDates();
    QApplication application(argc, argv);
    InstallQtTranslations(&application);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
