// The trace log's size bound: a session that passes 10 MB goes on in a new file,
// and no line is split between the two.

#include "driver/TraceLog.h"
#include "tests/common/ScratchDocuments.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

// Every file below documents\ASCOM\Logs *, with its size.
std::vector<std::pair<std::string, unsigned long long>> LogFiles(const std::string& documents) {
    std::vector<std::pair<std::string, unsigned long long>> files;
    WIN32_FIND_DATAA day = {};
    platform::UniqueFind days(FindFirstFileA((documents + "\\ASCOM\\Logs *").c_str(), &day));
    if (!days)
        return files;
    const std::string folder = documents + "\\ASCOM\\" + day.cFileName;
    WIN32_FIND_DATAA file = {};
    platform::UniqueFind found(FindFirstFileA((folder + "\\*.txt").c_str(), &file));
    if (!found)
        return files;
    do {
        files.emplace_back(folder + "\\" + file.cFileName,
                           (static_cast<unsigned long long>(file.nFileSizeHigh) << 32) | file.nFileSizeLow);
    } while (FindNextFileA(found.get(), &file));
    return files;
}

TEST(TraceRollover, ASessionPastTenMegabytesGoesOnInANewFileWithWholeLines) {
    const std::string documents = testing_support::ScratchFolder("focuser-rollover-");
    CreateDirectoryA(documents.c_str(), nullptr);
    {
        testing_support::DocumentsRedirect redirect(documents);
        std::unique_ptr<CTraceLog> log = CTraceLog::Open();
        ASSERT_TRUE(log);
        // Lines of about a kilobyte: the bytes of a long frame as hex.
        const std::vector<unsigned char> frame(300, 0x01);
        const unsigned long long limit = 10ull * 1024 * 1024;
        size_t lines = 0;
        while (LogFiles(documents).size() < 2 && lines < 15000) {
            for (int i = 0; i < 500; ++i, ++lines) {
                log->Begin("Position");
                log->Received(frame.data(), static_cast<DWORD>(frame.size()));
                log->End("1");
            }
        }
        const auto files = LogFiles(documents);
        ASSERT_EQ(2u, files.size()) << "after " << lines << " lines";
        const auto& full = files[0].second > files[1].second ? files[0] : files[1];
        EXPECT_LE(full.second, limit);
        EXPECT_GT(full.second, limit - 2048) << "the first file ended early";
        for (const auto& file : files) {
            std::ifstream in(file.first, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_FALSE(text.empty()) << file.first;
            EXPECT_EQ(0u, text.compare(0, 2, "20")) << file.first << " starts inside a line";
            EXPECT_EQ(0u, text.compare(text.size() - 2, 2, "\r\n")) << file.first << " ends inside a line";
        }
    }
    testing_support::RemoveTree(documents);
}

} // namespace
