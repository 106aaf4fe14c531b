// Streams: open modes, misuse, the 4 KiB buffer and what it hides, a model, fwprintf.
#include "platform/host/registry_store.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <set>

namespace {

TEST(Streams, OpenModes) {
    ts::Device dev;
    EXPECT_EQ(_wfopen(u"\\Temp\\missing", u"rb"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(_wfopen(u"\\Missing\\x", u"w+b"), nullptr);

    dev.write("/Temp/f", "0123456789");
    FILE *f = _wfopen(u"\\temp\\F", u"w+b");  // truncates
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(dev.read("/Temp/f"), "");

    dev.write("/Temp/log", "one\n");
    f = _wfopen(u"\\Temp\\log", u"a");
    ASSERT_NE(f, nullptr);
    fputs("two\n", f);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(dev.read("/Temp/log"), "one\ntwo\n");

    dev.write("/Temp/ro", "r");
    chmod(dev.host("/Temp/ro").c_str(), 0444);
    EXPECT_EQ(_wfopen(u"\\Temp\\ro", u"r+b"), nullptr);  // read-only on the device, even for root
    EXPECT_NE(f = _wfopen(u"\\Temp\\ro", u"rb"), nullptr);
    fclose(f);
    EXPECT_EQ(_wfopen(u"\\Temp", u"rb"), nullptr);
}

// Streams opened one after the other on a file that changes between them
// (replaced, rewritten in place, removed): each sees the file the path names
// when it is opened.
TEST(Streams, EachOpenSeesTheFileAsItIsNow) {
    struct Step {
        const char *change;  // on the host, before the stream
        const char *mode;
        const char *write;   // written by the stream; nullptr: read it whole
        const char *expect;  // what the read gives, or the file after the write; nullptr: the open fails
    };
    const Step steps[] = {
        {"", "a", "one\n", "one\n"},
        {"", "a", "1\n", "one\n1\n"},
        {"replace new\n", "a", "two\n", "new\ntwo\n"},
        {"", "rb", nullptr, "new\ntwo\n"},
        {"rewrite xyz", "rb", nullptr, "xyz"},
        {"", "a", "!", "xyz!"},
        {"rewrite 12", "a", "3", "123"},
        {"remove", "rb", nullptr, nullptr},
        {"", "a", "a", "a"},
        {"", "rb", nullptr, "a"},
    };
    ts::Device dev;
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(s.change) + " " + s.mode);
        std::string change = s.change;
        if (change.rfind("replace ", 0) == 0) {
            dev.write("/Temp/new", change.substr(8));
            host::fs::rename(dev.host("/Temp/new"), dev.host("/Temp/log"));
        } else if (change.rfind("rewrite ", 0) == 0) {
            dev.write("/Temp/log", change.substr(8));  // the same file, emptied and written
        } else if (change == "remove") {
            host::fs::remove(dev.host("/Temp/log"));
        }
        // A whole-file read sees it as it is now too.
        std::string bytes;
        bool read = host::reg::readFile(dev.host("/Temp/log"), bytes);
        EXPECT_EQ(read, dev.exists("/Temp/log"));
        if (read) EXPECT_EQ(bytes, dev.read("/Temp/log"));
        std::u16string mode = ts::u16(s.mode);
        FILE *f = _wfopen(u"\\temp\\log", reinterpret_cast<const WCHAR *>(mode.c_str()));
        if (!s.expect) {
            EXPECT_EQ(f, nullptr);
            continue;
        }
        ASSERT_NE(f, nullptr);
        if (s.write) {
            fputs(s.write, f);
            EXPECT_EQ(fclose(f), 0);
            EXPECT_EQ(dev.read("/Temp/log"), s.expect);
        } else {
            char buf[64];
            size_t n = fread(buf, 1, sizeof buf, f);
            EXPECT_EQ(fclose(f), 0);
            EXPECT_EQ(std::string(buf, n), s.expect);
        }
    }
}

TEST(Streams, EndOfFileAfterAShortRead) {
    ts::Device dev;
    dev.write("/Temp/f", "abc");
    FILE *f = _wfopen(u"\\Temp\\f", u"rb");
    ASSERT_NE(f, nullptr);
    char buf[4096];
    EXPECT_FALSE(feof(f));
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 3u);
    EXPECT_TRUE(feof(f));
    EXPECT_EQ(fseek(f, 1, SEEK_SET), 0);  // a seek clears the end-of-file state
    EXPECT_FALSE(feof(f));
    EXPECT_EQ(fread(buf, 1, 2, f), 2u);
    EXPECT_EQ(std::string(buf, 2), "bc");
    EXPECT_EQ(fseek(f, 0, SEEK_END), 0);
    EXPECT_EQ(ftell(f), 3);
    fclose(f);
}

// A call on a closed FILE stops the process with one line that names the
// call and the fclose, as a debug C library does; it never succeeds quietly.
TEST(StreamsDeathTest, ACallOnAClosedFileStopsTheProcess) {
    struct Case {
        const char *call;
        void (*use)(FILE *);
    };
    static const Case cases[] = {
        {"fclose", [](FILE *f) { fclose(f); }},
        {"fwrite", [](FILE *f) { fwrite("x", 1, 1, f); }},
        {"fread",
         [](FILE *f) {
             char c;
             fread(&c, 1, 1, f);
         }},
        {"fseek", [](FILE *f) { fseek(f, 0, SEEK_SET); }},
        {"ftell", [](FILE *f) { ftell(f); }},
        {"fflush", [](FILE *f) { fflush(f); }},
        {"feof", [](FILE *f) { feof(f); }},
        {"fprintf", [](FILE *f) { fprintf(f, "%d", 1); }},
        {"fputs",
         [](FILE *f) {
             static char text[] = "xy";  // a literal's fputs becomes an fwrite
             fputs(text, f);
         }},
        {"fputc", [](FILE *f) { fputc('x', f); }},
        {"fwprintf", [](FILE *f) { fwprintf(f, u"x"); }},
    };
    ts::Device dev;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        FILE *f = _wfopen(u"\\Temp\\a.txt", u"w+b");
        ASSERT_NE(f, nullptr);
        FILE *volatile kept = f;  // the pointer as a program keeps it
        ASSERT_EQ(fclose(f), 0);
        EXPECT_DEATH(c.use(kept), std::string("[a-z_]+: ") + c.call +
                                      " on a closed FILE \\(\\\\Temp\\\\a\\.txt\\), closed by the fclose called "
                                      "from [^\n]+\n");
    }
    // The C library's own functions never see a device FILE: it cannot be
    // read or written as one of theirs.
    FILE *f = _wfopen(u"\\Temp\\a.txt", u"rb");
    ASSERT_NE(f, nullptr);
    EXPECT_DEATH(getc(f), "");
    fclose(f);
}

// No FILE is handed out twice: a pointer kept after fclose never names
// another stream, so a use of it is always found.
TEST(Streams, AClosedFileIsNeverHandedOutAgain) {
    ts::Device dev;
    std::set<FILE *> seen;
    for (int i = 0; i < 1000; ++i) {
        FILE *a = _wfopen(u"\\Temp\\a", u"w+b");
        FILE *b = _wfopen(u"\\Temp\\b", u"a");
        ASSERT_TRUE(a && b);
        EXPECT_TRUE(seen.insert(a).second);
        EXPECT_TRUE(seen.insert(b).second);
        fclose(i % 2 ? a : b);
        fclose(i % 2 ? b : a);
    }
}

// What a stream's 4 KiB buffer hides, and nothing more: a reader sees
// another stream's writes beyond its own buffer, and a writer's bytes reach
// the file only when its buffer is written out.
TEST(Streams, OnlyTheBufferHidesAnotherStreamsWrites) {
    ts::Device dev;
    dev.write("/Temp/f", std::string(12288, 'a'));
    FILE *reader = _wfopen(u"\\Temp\\f", u"rb");
    ASSERT_NE(reader, nullptr);
    char buf[16];
    ASSERT_EQ(fread(buf, 1, 10, reader), 10u);  // the buffer holds [0, 4096)

    FILE *writer = _wfopen(u"\\Temp\\f", u"r+b");
    ASSERT_NE(writer, nullptr);
    const std::string b(12288, 'b');
    ASSERT_EQ(fwrite(b.data(), 1, 8000, writer), 8000u);  // 4096 written, 3904 buffered
    ASSERT_EQ(fread(buf, 1, 10, reader), 10u);
    EXPECT_EQ(std::string(buf, 10), std::string(10, 'a')) << "within the reader's buffer";
    ASSERT_EQ(fseek(reader, 5000, SEEK_SET), 0);
    ASSERT_EQ(fread(buf, 1, 10, reader), 10u);
    EXPECT_EQ(std::string(buf, 10), std::string(10, 'a')) << "still in the writer's buffer";
    ASSERT_EQ(fflush(writer), 0);
    ASSERT_EQ(fseek(reader, 4096, SEEK_SET), 0);
    std::string got(8000, '\0');
    ASSERT_EQ(fread(got.data(), 1, got.size(), reader), got.size());
    EXPECT_EQ(got.substr(0, 3904), b.substr(0, 3904)) << "beyond the reader's buffer";
    EXPECT_EQ(got.substr(3904), std::string(4096, 'a'));
    ASSERT_EQ(fwrite(b.data(), 1, 10, writer), 10u);
    ASSERT_EQ(fclose(writer), 0);
    ASSERT_EQ(fseek(reader, 8000, SEEK_SET), 0);
    ASSERT_EQ(fread(buf, 1, 10, reader), 10u);
    EXPECT_EQ(std::string(buf, 10), std::string(10, 'b'));
    EXPECT_EQ(fclose(reader), 0);
}

// A full disk shows when buffered bytes are written out: at the fwrite that
// fills the buffer, at fflush, at fclose. What did not fit is lost.
TEST(Streams, AFullDiskShowsWhenTheBufferIsWrittenOut) {
    struct Case {
        const char *name;
        size_t disk, write;  // the disk's room, then one fwrite of so many bytes
        bool flush;          // fflush before fclose
        size_t taken;        // what fwrite returns
        bool flushFails, closeFails;
        size_t inFile;
    };
    const Case cases[] = {
        {"fits", 5000, 4000, false, 4000, false, false, 4000},
        {"at fclose", 3000, 4000, false, 4000, false, true, 3000},
        {"at fflush", 3000, 4000, true, 4000, true, false, 3000},
        {"at fwrite", 5000, 9000, false, 5000, false, false, 5000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ts::Device dev;
        ASSERT_TRUE(host::setFaults("disk=" + std::to_string(c.disk)));
        FILE *f = _wfopen(u"\\Temp\\f", u"w+b");
        ASSERT_NE(f, nullptr);
        const std::string bytes(c.write, 'x');
        EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), c.taken);
        if (c.flush) EXPECT_EQ(fflush(f), c.flushFails ? EOF : 0);
        SetLastError(0);
        EXPECT_EQ(fclose(f), c.closeFails ? EOF : 0);
        if (c.closeFails) EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
        EXPECT_EQ(dev.read("/Temp/f").size(), c.inFile);
    }
}

// A power cut loses what every stream holds in its buffer, the cut call's
// own stream's too; a cut inside fclose comes once its bytes reached the file.
TEST(StreamsDeathTest, APowerCutLosesEveryBuffer) {
    ts::Device dev;
    auto run = [](const char *rules) {
        host::setFaults(rules);
        FILE *a = _wfopen(u"\\Temp\\a", u"w+b");
        FILE *b = _wfopen(u"\\Temp\\b", u"a");
        fwrite("aaaa", 1, 4, a);
        fwrite(std::string(5000, 'b').data(), 1, 5000, b);  // 4096 reach the file
        fwrite("bb", 1, 2, b);
        fclose(a);
        fclose(b);
        _exit(0);
    };
    EXPECT_EXIT(run("fwrite@3!"), ::testing::ExitedWithCode(99), "");
    EXPECT_EQ(dev.read("/Temp/a"), "");
    EXPECT_EQ(dev.read("/Temp/b"), std::string(4096, 'b'));
    EXPECT_EXIT(run("fclose@2!10"), ::testing::ExitedWithCode(99), "");
    EXPECT_EQ(dev.read("/Temp/a"), "aaaa");
    EXPECT_EQ(dev.read("/Temp/b"), std::string(4096 + 4096 + 10, 'b'));  // b was appended to twice
}

// Random reads, writes and seeks on a "w+b" stream, mirrored on a string:
// after each step the stream must read back what the model holds, and the
// file must equal the model once closed.
TEST(Streams, RandomOperationsMatchAModel) {
    ts::Device dev;
    std::mt19937 rng(1234);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        FILE *f = _wfopen(u"\\Temp\\model.bin", u"w+b");
        ASSERT_NE(f, nullptr);
        std::string model;
        long pos = 0;
        for (int step = 0; step < 400; ++step) {
            int op = rng() % 3;
            // Some reads and writes run past two of the stream's windows.
            size_t n = rng() % 3 == 0 ? rng() % 600000 : rng() % 40;
            if (op == 0) {  // write
                std::string bytes(n, '\0');
                for (auto &c : bytes) c = static_cast<char>(rng());
                ASSERT_EQ(fwrite(bytes.data(), 1, n, f), n);
                if (model.size() < pos + n) model.resize(pos + n, '\0');
                model.replace(static_cast<size_t>(pos), n, bytes);
                pos += static_cast<long>(n);
            } else if (op == 1) {  // read
                std::string got(n, '\0');
                size_t r = fread(got.data(), 1, n, f);
                size_t expect =
                    pos < static_cast<long>(model.size()) ? std::min(n, model.size() - static_cast<size_t>(pos)) : 0;
                ASSERT_EQ(r, expect);
                if (r) ASSERT_EQ(got.substr(0, r), model.substr(static_cast<size_t>(pos), r));
                pos += static_cast<long>(r);
                clearerr(f);
            } else {  // seek
                long to = model.empty() ? 0 : static_cast<long>(rng() % (model.size() + 10));
                ASSERT_EQ(fseek(f, to, SEEK_SET), 0);
                pos = to;
                ASSERT_EQ(ftell(f), pos);
            }
        }
        ASSERT_EQ(fclose(f), 0);
        ASSERT_EQ(dev.read("/Temp/model.bin"), model);
    }
}

TEST(Streams, FwprintfWritesWideStringsAsUtf8) {
    ts::Device dev;
    FILE *f = _wfopen(u"\\Temp\\t.txt", u"a");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fwprintf(f, u"%s", u"Redémarrer"), 10);
    EXPECT_EQ(fwprintf(f, u" %d%%\n", 42), 5);
    fclose(f);
    EXPECT_EQ(dev.read("/Temp/t.txt"), "Red\xc3\xa9marrer 42%\n");
}

}  // namespace
