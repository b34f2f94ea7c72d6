#include <QCoreApplication>
#include <gtest/gtest.h>

// The getter delivers its events through the Qt event loop of this thread.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
