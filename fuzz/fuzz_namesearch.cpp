// Finding a nickname: find and findEqual against a slow reference that folds letter case one
// character at a time, against the same search in swapped letter case, and entries against
// themselves.
#include "fuzzsupport.h"
#include "protocol/namesearch.h"
#include "protocol/turkishcase.h"

#include <iterator>

namespace {

// Turkish letters in both cases, letters whose upper case is longer or a title case, blanks
// that count as trailing ones and one that does not, and surrogates: paired, lone or halves.
constexpr char16_t kAlphabet[] = {
    u'a',      u'A',      u'b',      u'B',      u'i',      u'I',      u'\u0130', u'\u0131',
    u's',      u'S',      u'\u015F', u'\u015E', u'\u011F', u'\u011E', u'\u00FC', u'\u00DC',
    u'\u00E7', u'\u00C7', u'\u00DF', u'\uFB01', u'\u01C5', u'\u0390', u'\u03C3', u'\u03C2',
    u'\u03A3', u' ',      u'\t',     u'\r',     u'\n',     u'\u00A0', u'\0',     u'?',
    0xD801,    0xDC28,    0xDC00,    0xD800,    0xDFFF,    u'f',      u'F',      u'x',
};

constexpr uint8_t kNextString = 0xFF;
constexpr uint8_t kRawUnit = 0xF0; // this byte and above (but kNextString) take two raw bytes
constexpr qsizetype kMaxEntries = 16;
constexpr qsizetype kMaxLength = 24;

bool isTrailingBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

QStringView withoutTrailingBlanks(QStringView s)
{
    while (!s.isEmpty() && isTrailingBlank(s.back()))
        s.chop(1);
    return s;
}

// Letter case folded one character at a time (a surrogate pair is one character, a lone
// surrogate another), so that texts differing only in case fold alike whatever else they hold.
QString foldedByCharacter(QStringView s)
{
    QString out;
    for (qsizetype i = 0; i < s.size();) {
        const qsizetype n =
            s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate() ? 2 : 1;
        out += turkishUpper(s.sliced(i, n));
        i += n;
    }
    return out;
}

int referenceFindEqual(const QList<QString> &entries, QStringView nickname)
{
    const QString wanted = foldedByCharacter(withoutTrailingBlanks(nickname));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (foldedByCharacter(withoutTrailingBlanks(entries.at(i))) == wanted)
            return int(i);
    }
    return -1;
}

int referenceFind(const QList<QString> &entries, QStringView text)
{
    if (text.isEmpty())
        return -1;
    if (const int equal = referenceFindEqual(entries, text); equal >= 0)
        return equal;
    const QString prefix = foldedByCharacter(text);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (foldedByCharacter(entries.at(i)).startsWith(prefix))
            return int(i);
    }
    return -1;
}

// The other letter case for the letters of Turkish; everything else is kept.
QString swappedCase(QStringView s)
{
    static constexpr char16_t kPairs[][2] = {
        {u'i', u'\u0130'},      {u'\u0131', u'I'},      {u'\u011F', u'\u011E'},
        {u'\u015F', u'\u015E'}, {u'\u00FC', u'\u00DC'}, {u'\u00F6', u'\u00D6'},
        {u'\u00E7', u'\u00C7'},
    };
    QString out = s.toString();
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if (u >= u'a' && u <= u'z' && u != u'i')
            c = QChar(char16_t(u - u'a' + u'A'));
        else if (u >= u'A' && u <= u'Z' && u != u'I')
            c = QChar(char16_t(u - u'A' + u'a'));
        for (const auto &pair : kPairs) {
            if (u == pair[0])
                c = QChar(pair[1]);
            else if (u == pair[1])
                c = QChar(pair[0]);
        }
    }
    return out;
}

QList<QString> swappedCase(const QList<QString> &list)
{
    QList<QString> out;
    for (const QString &s : list)
        out.append(swappedCase(s));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first string is the text searched for, the others are the entries.
    FuzzInput input(data, size);
    QList<QString> strings(1);
    while (!input.atEnd() && strings.size() <= kMaxEntries) {
        const uint8_t b = input.byte();
        if (b == kNextString) {
            strings.append(QString());
            continue;
        }
        const QChar c =
            b >= kRawUnit ? QChar(input.unit()) : QChar(kAlphabet[b % std::size(kAlphabet)]);
        if (strings.last().size() < kMaxLength)
            strings.last() += c;
    }
    const QString text = strings.takeFirst();
    const QList<QString> &entries = strings;
    // Messages are QString: a QStringBuilder result would refer to temporaries already gone.
    const auto detail = [&]() -> QString {
        return u"text " + escaped(text) + u"\nentries " + escaped(entries);
    };
    const auto inRange = [&](int row) { return row >= -1 && row < entries.size(); };

    const int found = NameSearch::find(entries, text);
    const int equal = NameSearch::findEqual(entries, text);
    FUZZ_CHECK(inRange(found) && inRange(equal),
               detail() + QString::asprintf("\nfind %d, findEqual %d", found, equal));

    const int expectedFound = referenceFind(entries, text);
    const int expectedEqual = referenceFindEqual(entries, text);
    FUZZ_CHECK(found == expectedFound,
               detail() + QString::asprintf("\nfind %d, expected %d", found, expectedFound));
    FUZZ_CHECK(equal == expectedEqual,
               detail() + QString::asprintf("\nfindEqual %d, expected %d", equal, expectedEqual));

    // Letter case must not matter, neither in the text nor in the entries.
    const QString swappedText = swappedCase(text);
    const QList<QString> swappedEntries = swappedCase(entries);
    const auto swapDetail = [&](const char *what, int got, int expected) -> QString {
        return detail() + u"\nswapped text " + escaped(swappedText) + u"\nswapped entries " +
               escaped(swappedEntries) +
               QString::asprintf("\n%s %d, unswapped %d", what, got, expected);
    };
    const int foundSwappedText = NameSearch::find(entries, swappedText);
    FUZZ_CHECK(foundSwappedText == found,
               swapDetail("find, text swapped:", foundSwappedText, found));
    const int foundSwappedEntries = NameSearch::find(swappedEntries, text);
    FUZZ_CHECK(foundSwappedEntries == found,
               swapDetail("find, entries swapped:", foundSwappedEntries, found));
    const int equalSwappedText = NameSearch::findEqual(entries, swappedText);
    FUZZ_CHECK(equalSwappedText == equal,
               swapDetail("findEqual, text swapped:", equalSwappedText, equal));

    // Every entry is equal to itself, also with trailing blanks added.
    for (qsizetype k = 0; k < entries.size(); ++k) {
        const QString padded = entries.at(k) + u" \t\r\n";
        for (const QString &nickname : {entries.at(k), padded}) {
            const int row = NameSearch::findEqual(entries, nickname);
            FUZZ_CHECK(
                row >= 0 && row <= k,
                detail() +
                    QString::asprintf("\nfindEqual of entry %lld gave %d", qlonglong(k), row) +
                    u" for " + escaped(nickname));
        }
    }
    return 0;
}
