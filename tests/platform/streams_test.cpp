// Streams: open modes, the buffered window against a model, fwprintf.
#include "platform/host/registry_store.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>

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
// when it is opened, on a device the process owns (whose closed streams' files
// may be kept open for the next) as on one it does not.
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
    for (bool owned : {false, true}) {
        SCOPED_TRACE(owned ? "owned" : "not owned");
        ts::Device dev;
        if (owned) host::ownDevice();
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
            // A whole-file read (which keeps the file open on an owned
            // device, as a stream does) sees it as it is now too.
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

// A closed stream's FILE serves the next stream of its mode: nothing the C
// library held of the last one (a byte pushed back, the end or error marks)
// reaches the next, whatever calls the last one made.
TEST(Streams, ANewStreamKeepsNothingOfTheLast) {
    ts::Device dev;
    dev.write("/Temp/a", "abc");
    dev.write("/Temp/b", "xyz");
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        FILE *f = _wfopen(u"\\Temp\\a", u"rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(fgetc(f), 'a');
        if (round % 2 == 0) {
            EXPECT_EQ(ungetc('q', f), 'q');  // held by the C library
        } else {
            while (fgetc(f) != EOF) {
            }
            EXPECT_TRUE(feof(f));
        }
        EXPECT_EQ(fclose(f), 0);
        f = _wfopen(u"\\Temp\\b", u"rb");
        ASSERT_NE(f, nullptr);
        EXPECT_FALSE(feof(f));
        EXPECT_FALSE(ferror(f));
        EXPECT_EQ(fgetc(f), 'x');
        EXPECT_EQ(fgetc(f), 'y');
        EXPECT_EQ(fclose(f), 0);
        f = _wfopen(u"\\Temp\\c", u"ab");  // another mode between
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(fputs("1", f), 1);
        EXPECT_EQ(fclose(f), 0);
    }
    EXPECT_EQ(dev.read("/Temp/c"), "1111");
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
