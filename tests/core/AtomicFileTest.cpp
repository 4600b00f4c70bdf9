#include "core/AtomicFile.h"

#include "support/Files.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/resource.h>

using namespace quippet;

namespace {

// Lets files of this process grow to `bytes` at most while it lives: a longer write stops part-way with EFBIG,
// as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int);
};

TEST(AtomicFileTest, AWriteThatFailsPartWayLeavesTheOldContentAndNoStrayFiles) {
    test::TempHome home;
    const QString path = home.filePath(QStringLiteral("notatka.md"));
    ASSERT_TRUE(writeFileAtomically(path, "stara treść\n"));
    EXPECT_EQ(test::readFile(path), QByteArray("stara treść\n"));

    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_FALSE(writeFileAtomically(path, QByteArray(1024 * 1024, 'x')));
    }
    EXPECT_EQ(test::readFile(path), QByteArray("stara treść\n"));
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("notatka.md")});

    // A later write that fits replaces the file whole.
    ASSERT_TRUE(writeFileAtomically(path, "nowa\n"));
    EXPECT_EQ(test::readFile(path), QByteArray("nowa\n"));
}

} // namespace
