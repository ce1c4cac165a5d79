// The least a Qt command-line program pays to start: the application object and one line of
// output, as "kiv-recovery-tool --version" prints it. The benchmark compares the tool with it.
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::printf("%s 7.0.1\n", qPrintable(QCoreApplication::applicationName()));
    return 0;
}
