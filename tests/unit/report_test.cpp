// What stdout looks like: the --list fields in text and JSON, watch lines and events, and the
// sentence of --help that names the udev rule.
#include "hints.hpp"
#include "report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

template <typename Format>
std::string formatted(Format&& format)
{
    JsonLine line;
    format(line);
    EXPECT_FALSE(line.overflowed());
    return line.text();
}

BoardStrings strings(const char* manufacturer, const char* product, const char* serial)
{
    BoardStrings kept;
    std::snprintf(kept.manufacturer.data(), kept.manufacturer.size(), "%s", manufacturer);
    std::snprintf(kept.product.data(), kept.product.size(), "%s", product);
    std::snprintf(kept.serial.data(), kept.serial.size(), "%s", serial);
    return kept;
}

TEST(Report, ListEntriesKeepTheirFieldsInTextAndJson)
{
    // A tab or a newline from the board must not make a field or a line of its own.
    const BoardStrings odd = strings("Ma\tker", "LED\nBoard", "");
    const ListEntry usable{{1, 4}, "1-1.4", nullptr, &odd};
    const ListEntry refused{{3, 12}, "", "no permission", nullptr};

    EXPECT_EQ(formatted([&](TextBuffer& line) { formatListEntry(line, usable, false); }),
              "001/004\tusable\tMa?ker\tLED?Board\t\t1-1.4\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatListEntry(line, refused, false); }),
              "003/012\tunusable\tno permission\t\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatListEntry(line, usable, true); }),
              R"({"bus":1,"device":4,"path":"1-1.4","usable":true,"manufacturer":"Ma\tker",)"
              R"("product":"LED\nBoard","serial":null})"
              "\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatListEntry(line, refused, true); }),
              R"({"bus":3,"device":12,"path":null,"usable":false,"reason":"no permission",)"
              R"("manufacturer":null,"product":null,"serial":null})"
              "\n");
}

TEST(Report, WatchLinesAndEvents)
{
    const BoardStatus status{.led = 5, .push = 1, .jump = 12};
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatWatchLine(line, status, false); }),
              "5 1 c\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatWatchLine(line, status, true); }),
              "{\"led\":5,\"push\":1,\"jump\":12}\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatWatchEvent(line, WatchEvent::Gone, false); }),
              "gone\n");
    EXPECT_EQ(formatted([&](TextBuffer& line) { formatWatchEvent(line, WatchEvent::Back, true); }),
              "{\"event\":\"back\"}\n");
}

TEST(Report, HelpNamesTheRuleThatApplies)
{
    namespace fs = std::filesystem;
    const fs::path root =
        fs::path(testing::TempDir()) / ("ledboard-rule-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "etc");
    fs::create_directories(root / "usr");
    const std::string etc = (root / "etc").string();
    const std::string usr = (root / "usr").string();
    const std::array<const char*, 2> directories{etc.c_str(), usr.c_str()};
    const std::string built = (root / "built.rules").string();

    const auto sentence = [&] {
        const std::unique_ptr<std::FILE, decltype(&std::fclose)> out{std::tmpfile(), &std::fclose};
        printRuleSentence(out.get(), directories, built.c_str());
        std::rewind(out.get());
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), out.get()));
        return text;
    };
    EXPECT_EQ(sentence(), "The udev rule 60-ledboard.rules (udev/ in ledboard's sources) grants "
                          "it once\ninstalled; see ledboard(1).\n");
    std::ofstream(built) << "rule\n";
    EXPECT_EQ(sentence(), "The udev rule grants it once copied from " + built +
                              "\nto /etc/udev/rules.d; see ledboard(1).\n");
    std::ofstream(root / "usr" / "60-ledboard.rules") << "rule\n";
    EXPECT_EQ(sentence(),
              "The udev rule " + usr + "/60-ledboard.rules grants it;\nsee ledboard(1).\n");
    std::ofstream(root / "etc" / "60-ledboard.rules") << "rule\n";
    EXPECT_EQ(sentence(),
              "The udev rule " + etc + "/60-ledboard.rules grants it;\nsee ledboard(1).\n");
    fs::remove_all(root);
}

} // namespace
