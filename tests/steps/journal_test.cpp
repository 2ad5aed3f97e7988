// The run's journal on a real volume (tmpfs K:): what is written is read back,
// a new one takes the old one's place whole, and one that was cut short,
// changed or written by another version is none.
#include <gtest/gtest.h>
#include "engine/engine_checks.h"
#include "steps/step_runner.h"

static RunJournal a_journal(const std::string &work)
{
    RunJournal journal = {};
    snprintf(journal.folder, sizeof journal.folder, "%s", work.c_str());
    journal.method = 3, journal.script_hash = 0x0123456789ABCDEFull, journal.step = 2, journal.steps = 4;
    snprintf(journal.run_id, sizeof journal.run_id, "%s", "3f2504e0-4f89-41d3-9a0c-0305e82c3301");
    snprintf(journal.started, sizeof journal.started, "%s", "2026-12-07 21:30");
    journal.created = 1, journal.passes = 1, journal.bytes_written = 25165824, journal.bytes_verified = 0;
    return journal;
}

// The text of a journal with its lines changed by edit, sealed with a check
// that fits it (a journal another writer made, not a damaged one).
static std::string resealed(const std::string &text, const std::function<std::string(std::string)> &edit)
{
    std::string body = edit(text.substr(0, text.find("check=")));
    char check[40];
    snprintf(check, sizeof check, "check=%016llx\r\n", text_hash(body.data(), body.size(), TEXT_HASH_START));
    return body + check;
}

static std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Journal, WhatIsWrittenIsReadBackAndOneThatFailsItsCheckIsNone)
{
    const std::string root = volume_root("steps_tmpfs"), work = root + "$VANTA$$", path = work + "\\" JOURNAL_NAME;
    ASSERT_FALSE(root.empty()) << "no volume steps_tmpfs on this bench";
    clear_volume(root);
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    RunJournal journal = a_journal(work), read = {};
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, read_journal(work.c_str(), &read)) << "no journal yet";

    // a second journal takes the first one's place, and nothing else stays
    ASSERT_EQ(0u, write_journal(work.c_str(), &journal));
    journal.step = 3, journal.passes = 2;
    ASSERT_EQ(0u, write_journal(work.c_str(), &journal));
    EXPECT_EQ(std::vector<std::string>{JOURNAL_NAME}, list_folder(work));
    ASSERT_EQ(0u, read_journal(work.c_str(), &read));
    EXPECT_EQ(std::string(work), read.folder);
    EXPECT_EQ(3, read.method);
    EXPECT_EQ(0x0123456789ABCDEFull, read.script_hash);
    EXPECT_EQ(3, read.step);
    EXPECT_EQ(4, read.steps);
    EXPECT_EQ(std::string(journal.run_id), read.run_id);
    EXPECT_EQ(std::string(journal.started), read.started);
    EXPECT_EQ(1, read.created);
    EXPECT_EQ(2, read.passes);
    EXPECT_EQ(25165824ull, read.bytes_written);

    // the journal holds its clusters through the passes, where no fill
    // reaches: they are written whole, zeros after the text
    std::string file, text;
    ASSERT_TRUE(read_file(path, &file));
    DWORD per_cluster = 0, per_sector = 0, free_clusters, clusters;
    ASSERT_TRUE(GetDiskFreeSpaceA(root.c_str(), &per_cluster, &per_sector, &free_clusters, &clusters));
    EXPECT_EQ(0u, file.size() % (per_cluster * per_sector)) << file.size() << " bytes";
    text = file.substr(0, file.find('\0'));
    EXPECT_EQ(std::string::npos, file.find_first_not_of('\0', text.size())) << "only zeros after the text";
    const struct { const char *name; std::string text; DWORD result; } rows[] = {
        {"as written", text, 0},
        {"a byte changed", replaced(text, "step=3", "step=1"), ERROR_INVALID_DATA},
        {"cut short", text.substr(0, text.size() / 2), ERROR_INVALID_DATA},
        {"cut before its check", text.substr(0, text.find("check=")), ERROR_INVALID_DATA},
        {"a line added", replaced(text, "check=", "extra=1\r\ncheck="), ERROR_INVALID_DATA},
        {"empty", "", ERROR_INVALID_DATA},
        {"another version's", resealed(text, [](std::string t) { return replaced(t, "journal=1", "journal=2"); }),
         ERROR_INVALID_DATA},
        {"a step past its count", resealed(text, [](std::string t) { return replaced(t, "step=3", "step=5"); }),
         ERROR_INVALID_DATA},
        {"a line missing", resealed(text, [](std::string t) { return replaced(t, "passes=2\r\n", ""); }),
         ERROR_INVALID_DATA},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(write_file(path, r.text));
        EXPECT_EQ(r.result, read_journal(work.c_str(), &read));
    }
    delete_journal(work.c_str());
    EXPECT_EQ(std::vector<std::string>{}, list_folder(work));
    clear_volume(root);
}
