// Times building the plain listing page of a generated folder, the work a GET of "/"
// does before writing, and prints the median in microseconds.
//
//   listing_bench [files, default 1000] [runs, default 500]

#include "pages/folderpage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 FileSize = 1024;
constexpr int WarmUpRuns = 20;

bool generate(const QString &folder, int files)
{
    const QByteArray content(FileSize, 'x');
    for (int i = 0; i < files; ++i) {
        QFile file(folder + QStringLiteral("/file-%1.txt").arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return false;
    }
    return true;
}

// What a GET of "/" builds before it writes.
QByteArray build(const QString &folder)
{
    return FolderPage::page(FolderPage::plainListing(folder).rows, true, FolderPage::PlainBody, folder);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 500;
    if (files < 0 || runs <= 0) {
        std::fprintf(stderr, "usage: listing_bench [files] [runs]\n");
        return 2;
    }

    QTemporaryDir dir;
    if (!dir.isValid() || !generate(dir.path(), files)) {
        std::fprintf(stderr, "cannot write the folder\n");
        return 1;
    }

    qsizetype pageSize = 0;
    for (int i = 0; i < WarmUpRuns; ++i)
        pageSize = build(dir.path()).size();

    std::vector<qint64> nanoseconds;
    nanoseconds.reserve(static_cast<size_t>(runs));
    QElapsedTimer clock;
    for (int i = 0; i < runs; ++i) {
        clock.start();
        const QByteArray page = build(dir.path());
        nanoseconds.push_back(clock.nsecsElapsed());
        if (page.size() != pageSize) {
            std::fprintf(stderr, "the page changed size between runs\n");
            return 1;
        }
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    const auto at = [&](double share) {
        return nanoseconds[static_cast<size_t>(share * (nanoseconds.size() - 1))] / 1000.0;
    };
    std::printf("listing of %d files (%lld bytes): median %.0f us, fastest %.0f us, 90th percentile %.0f us "
                "(%d runs)\n",
                files, static_cast<long long>(pageSize), at(0.5), at(0.0), at(0.9), runs);
    return 0;
}
