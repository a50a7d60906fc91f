// The end-to-end tests need an event loop (the tray watcher answers D-Bus calls in this process)
// but no display of their own: the program under test gets the virtual one.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
