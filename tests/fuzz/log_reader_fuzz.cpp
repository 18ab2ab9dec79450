// libFuzzer target for the measurement log reader: the input bytes are a log.
// Fed whole or in two pieces cut anywhere, it gives the same records; every
// line is a record or counted as skipped; a record's time is a real date of
// 1970 to 2105. A broken rule aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "log/log_reader.h"

#define REQUIRE(condition)                                                                   \
    ((condition) ? void()                                                                    \
                 : (std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<measurement::LogRecord> whole;
    measurement::LogParser one;
    one.feed(bytes, whole);
    one.finish(whole);

    std::vector<measurement::LogRecord> pieces;
    measurement::LogParser two;
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    two.feed(bytes.substr(0, cut), pieces);
    two.feed(bytes.substr(cut), pieces);
    two.finish(pieces);
    REQUIRE(pieces == whole);
    REQUIRE(two.skipped() == one.skipped());

    std::size_t lines = 0;
    for (const char c : bytes) lines += c == '\n';
    lines += !bytes.empty() && bytes.back() != '\n';
    REQUIRE(whole.size() + one.skipped() == lines);
    for (const measurement::LogRecord& record : whole) {
        const measurement::CivilTime civil = measurement::civil_time(record.time);
        REQUIRE(civil.year >= 1970 && civil.year <= 2105 && civil.month >= 1 && civil.month <= 12);
        REQUIRE(measurement::log_time(civil) == record.time);
    }
    return 0;
}
