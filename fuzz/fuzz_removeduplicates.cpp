// The linear clean-up of later copies against the plain pairwise pass, including where the
// tracked entry ends up.
#include "channels/removeduplicates.h"
#include "common/pairwisededup.h"
#include "fuzzsupport.h"

#include <string_view>

using namespace std::literals;

namespace {

// Few short texts, so that copies are common; several differ from another only in case, a
// trailing blank or an embedded NUL and must never count as equal. Index 0 is the null string.
constexpr std::u16string_view kTexts[] = {
    u""sv,   u""sv,    u"a"sv,      u"b"sv, u"A"sv,      u"a "sv, u"ab"sv,     u"ba"sv,
    u"\0"sv, u"a\0"sv, u"\u0130"sv, u"i"sv, u"\u0131"sv, u"I"sv,  u"\xD800"sv, u"\xD800\xDC00"sv,
};

// Where the tracked entry should end up: -1 when an earlier entry equals it, else the number
// of earlier entries that are themselves the first of their text.
int expectedTrackedRow(const QList<QString> &entries, int tracked)
{
    if (tracked < 0)
        return tracked;
    const auto firstOfItsText = [&](qsizetype k) {
        for (qsizetype j = 0; j < k; ++j) {
            if (entries.at(j) == entries.at(k))
                return false;
        }
        return true;
    };
    if (!firstOfItsText(tracked))
        return -1;
    int row = 0;
    for (qsizetype k = 0; k < tracked; ++k)
        row += firstOfItsText(k) ? 1 : 0;
    return row;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    const uint8_t trackedPick = input.byte();
    const bool track = mode & 1;
    const bool shareList = mode & 2;

    // Equal entries are built both as copies sharing one string and as separate strings.
    QList<QString> entries;
    QString lastOf[std::size(kTexts)];
    while (!input.atEnd() && entries.size() < 512) {
        const uint8_t b = input.byte();
        const size_t which = b % std::size(kTexts);
        const std::u16string_view text = kTexts[which];
        if (which == 0)
            entries.append(QString());
        else if ((b & 0x10) && !lastOf[which].isNull())
            entries.append(lastOf[which]);
        else
            entries.append(QString(reinterpret_cast<const QChar *>(text.data()), text.size()));
        lastOf[which] = entries.last();
    }

    const QList<QString> original(entries.cbegin(), entries.cend());
    QList<QString> expected = original;
    removeDuplicatesPairwise(expected);
    int tracked = track ? int(trackedPick % (entries.size() + 1)) - 1 : -1;
    const int trackedBefore = tracked;
    const int expectedTracked = expectedTrackedRow(original, tracked);

    // Either the list is the only owner of its storage or a second list shares it.
    QList<QString> actual = shareList ? entries : QList<QString>(entries.cbegin(), entries.cend());
    const qsizetype removed = RemoveDuplicates(actual, track ? &tracked : nullptr);

    const auto detail = [&]() -> QString {
        return escaped(original) + u"\n -> " + escaped(actual) + u"\n expected " +
               escaped(expected) + QString::asprintf("\n removed %lld", qlonglong(removed));
    };
    FUZZ_CHECK(actual == expected, detail());
    FUZZ_CHECK(removed == original.size() - expected.size(), detail());
    FUZZ_CHECK(tracked == expectedTracked,
               detail() + QString::asprintf("\n tracked row %d became %d, expected %d",
                                            trackedBefore, tracked, expectedTracked));
    FUZZ_CHECK(entries == original, detail() + u"\n the list sharing storage changed");
    return 0;
}
