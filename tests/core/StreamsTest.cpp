#include "core/Streams.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

using namespace pakforge;
using test::TempDir;

TEST(MemoryStream, ReadWriteSeekAndResize) {
    MemoryStream s;
    const std::uint8_t data[] = {1, 2, 3, 4, 5};
    s.writeBuffer(data, 5);
    EXPECT_EQ(s.size(), 5);
    EXPECT_EQ(s.position(), 5);

    // Writing past the end zero-fills the gap.
    s.seek(8, SeekOrigin::Begin);
    s.writeBuffer(data, 1);
    EXPECT_EQ(s.size(), 9);
    EXPECT_EQ(s.bytes()[6], 0);

    s.setPosition(3);
    std::uint8_t two[2];
    s.readBuffer(two, 2);
    EXPECT_EQ(two[0], 4);
    EXPECT_EQ(two[1], 5);

    // Shrinking pulls the position back inside.
    s.setSize(2);
    EXPECT_EQ(s.position(), 2);
    EXPECT_EQ(s.seek(-1, SeekOrigin::End), 1);
    EXPECT_EQ(s.seek(-100, SeekOrigin::Current), 0);
}

TEST(MemoryStream, ShortReadsRaiseTheStreamReadError) {
    MemoryStream s(std::vector<std::uint8_t>{1, 2, 3});
    std::uint8_t buffer[4];
    try {
        s.readBuffer(buffer, 4);
        FAIL() << "no exception";
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    s.setPosition(0);
    EXPECT_EQ(s.read(buffer, 4), 3u);
    EXPECT_EQ(s.read(buffer, 4), 0u);
}

TEST(MemoryStream, CopyFromWholeSourceOrCount) {
    MemoryStream source(std::vector<std::uint8_t>{10, 20, 30, 40});
    source.setPosition(3);
    MemoryStream whole;
    EXPECT_EQ(whole.copyFrom(source, 0), 4);
    EXPECT_EQ(whole.vector(), source.vector());

    source.setPosition(1);
    MemoryStream part;
    part.copyFrom(source, 2);
    EXPECT_EQ(part.vector(), (std::vector<std::uint8_t>{20, 30}));

    source.setPosition(3);
    MemoryStream tooMuch;
    EXPECT_THROW(tooMuch.copyFrom(source, 2), EReadError);
}

TEST(FileStream, RoundTripAndErrorMessages) {
    TempDir dir;
    const auto path = dir / "a.bin";
    MemoryStream s(test::randomBytes(200000, 1));
    s.saveToFile(path);

    MemoryStream back;
    back.loadFromFile(path);
    EXPECT_EQ(back.vector(), s.vector());
    EXPECT_EQ(back.position(), 0);

    try {
        FileStream missing(dir / "none.bin", FileStream::Mode::OpenRead);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        // The system's own text, whole and without its line break.
        const std::string text = os::errorText(os::errorCode(os::Error::NotFound));
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text.back(), '\n');
        EXPECT_EQ(e.message(), "Cannot open file \"" + pathToUtf8(dir / "none.bin") + "\". " + text);
    }
    try {
        FileStream cannot(dir / "no" / "such" / "x.bin", FileStream::Mode::Create);
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message().rfind("Cannot create file \"", 0), 0u);
    }
    EXPECT_THROW(FileStream(dir.path(), FileStream::Mode::OpenRead), EFOpenError);
}

TEST(FileStream, ExclusiveOpenFailsWhileAnotherHolds) {
    TempDir dir;
    const auto path = dir / "locked.bin";
    test::writeText(path, "x");
    FileStream holder(path, FileStream::Mode::OpenWrite, FileStream::Share::DenyWrite);
    EXPECT_THROW(FileStream(path, FileStream::Mode::OpenRead, FileStream::Share::Exclusive), EFOpenError);
    // Sharing readers are still let in.
    EXPECT_NO_THROW(FileStream(path, FileStream::Mode::OpenRead));
}

TEST(PendingFile, CommitReplacesTargetAndAbandonLeavesItAlone) {
    TempDir dir;
    const auto target = dir / "out.exe";
    test::writeText(target, "old");
    namespace fs = std::filesystem;
    const auto mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
    fs::permissions(target, mode);
    {
        PendingFile pending(target);
        test::writeText(pending.tempPath(), "half");
    }
    EXPECT_EQ(test::readFile(target), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    {
        PendingFile pending(target);
        test::writeText(pending.tempPath(), "new");
        pending.commit();
    }
    EXPECT_EQ(test::readFile(target), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
#ifndef _WIN32
    // The replaced file's permission bits carry over.
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::mask, mode);
#endif
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}
