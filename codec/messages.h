// Every text the program shows (but the banners, which stand in the policy rows), and every
// reason a run can fail.
#pragma once

#include <cstdint>

namespace lzw {

// Why a run failed. A run keeps the first fault it meets; the program prints faultText() on
// standard error, the C interface returns the negated value. The values never change.
enum class Fault : int32_t {
    none = 0,
    // The files; the text takes the path.
    cannotOpen = 1,
    sameFile = 2,
    tooLarge = 3,
    readFailed = 4,
    writeFailed = 5,
    cannotSeek = 6,
    // A damaged stream; the text is the reason after "uszkodzony plik INPUT: ".
    shorterThanHeader = 7,
    negativeLength = 8,
    endsEarly = 9,
    longerThanHeader = 10,
    firstNotByte = 11,
    beyondDictionary = 12,
    emptySlot = 13,
    loop = 14,
    trailingData = 15,
    // Only runs of the library meet these.
    outputTooSmall = 16,
    badArgument = 17,
    noMemory = 18,
    sizeMismatch = 19,  // a stream's input is not as long as its caller said
    // A damaged frame (the text follows "uszkodzony plik INPUT: "), or one of a later version.
    checksum = 20,
    frameVersion = 21,
    reservedBits = 22,
    frameHeader = 23,
    blockHeader = 24,
    contentSize = 25,
    notFrame = 26,
    seekTable = 27,
};
inline constexpr int32_t kFaults = 28;

// The text of each fault, by value: a printf format with one %s for the path (file faults),
// or the reason alone (damage and the rest).
inline constexpr const char* kFaultTexts[kFaults] = {
    "",
    "blad przy ladowaniu pliku %s",
    "plik wejsciowy i wyjsciowy to ten sam plik: %s",
    "plik %s jest za duzy: naglowek opisuje najwyzej 2147483648 bajtow",
    "blad przy czytaniu pliku %s",
    "blad przy zapisie pliku %s",
    "nie mozna poprawic naglowka pliku %s: wyjscia nie da sie przewinac",
    "plik krotszy niz naglowek",
    "ujemna dlugosc w naglowku",
    "strumien konczy sie przed koncem danych",
    "dane dluzsze niz podaje naglowek",
    "pierwszy kod nie jest pojedynczym bajtem",
    "kod spoza slownika",
    "kod pustej pozycji slownika",
    "lancuch fraz tworzy petle",
    "dane za koncem strumienia",
    "za malo miejsca na wynik",
    "bledny argument",
    "brak pamieci",
    "dane wejsciowe maja inna dlugosc niz podana",
    "suma kontrolna sie nie zgadza",
    "ramka nieznanej wersji, trybu lub szerokosci kodu",
    "ustawione zarezerwowane bity w naglowku ramki",
    "naglowek ramki nie zgadza sie ze swoim bajtem kontrolnym",
    "niemozliwe rozmiary w naglowku bloku",
    "bloki daja inna dlugosc niz podaje naglowek ramki",
    "to nie jest ramka lzw",
    "indeks nie zgadza sie z ramka lub ze swoja suma kontrolna",
};

// The text of a fault; "" for none, null for a value that names no fault.
inline const char* faultText(Fault fault) {
    auto k = static_cast<int32_t>(fault);
    return k >= 0 && k < kFaults ? kFaultTexts[k] : nullptr;
}
// Whether the fault is damage in a compressed stream.
inline bool isDamage(Fault fault) {
    return (fault >= Fault::shorterThanHeader && fault <= Fault::trailingData) ||
           (fault >= Fault::checksum && fault <= Fault::seekTable);
}

// A damaged stream, with the input's path and the reason.
inline constexpr const char* kDamagedFormat = "uszkodzony plik %s: %s";
// The time line: these two around the milliseconds (no sign unless negative, no padding); an
// empty line follows it.
inline constexpr const char* kTimeLinePrefix = "Czas trwania obliczen:";
inline constexpr const char* kTimeLineSuffix = " ms.\n\n";

// A compression refused because its output is a terminal (without -f), with the output's path.
inline constexpr const char* kTerminalFormat =
    "nie zapisuje skompresowanych danych na terminal %s (wymus opcja -f)";
// A compression refused because its input is already a frame (without -f), with the input's
// path: the likely mistake is c for d, and the output may be the file it came from.
inline constexpr const char* kFramedInputFormat =
    "nie kompresuje ponownie ramki lzw %s: rozpakuj ja trybem d1, d2 lub d3 (wymus opcja -f)";
// -v: the sizes in and out of a compression, with its output as a percentage of its input,
// and of a decompression (and of an empty input, which has no ratio).
inline constexpr const char* kCompressedSizesFormat =
    "%lld bajtow -> %lld bajtow, %.1f%% wejscia\n";
inline constexpr const char* kDecompressedSizesFormat = "%lld bajtow -> %lld bajtow\n";

// The banners of the modes stand in the policy rows (kPolicyRows in coder.h).

// The command line: the usage line (also on a wrong one) and the lines -h adds to it: the
// modes, every option with its limits, and the name of the standard streams.
inline constexpr const char* kUsage = "uzycie: lzw c1|d1|c2|d2|c3|d3 WEJSCIE WYJSCIE\n";
inline constexpr const char* kHelp =
    "  c1, d1  kompresja i dekompresja; pelny slownik przestaje rosnac\n"
    "  c2, d2  pelny slownik usuwa najdawniej uzyta fraze bez rozszerzen\n"
    "  c3, d3  pelny slownik jest czyszczony i budowany od nowa\n"
    "  -       jako WEJSCIE: standardowe wejscie, jako WYJSCIE: standardowe wyjscie\n"
    "opcje (przed trybem):\n"
    "  -q      tylko komunikaty o bledach, bez banera i czasu\n"
    "  -v      po czasie rozmiary wejscia i wyjscia oraz ich stosunek\n"
    "  -f      kompresja rowniez na terminal i rowniez pliku, ktory juz jest ramka lzw\n"
    "  -F, --frame  (z trybem kompresji) zapis w ramce: tryb, rozmiary i sumy kontrolne\n"
    "          w pliku, bez limitu rozmiaru; d1, d2 i d3 rozpoznaja ramke same\n"
    "  -B ROZMIAR  (z -F) najwiekszy blok ramki, od 1K do 1G, np. 64K, 4M (domyslnie 1M)\n"
    "  --no-seek-table  (z -F) bez indeksu za ramka (8 bajtow na blok mniej; -l i -R\n"
    "          przegladaja wtedy naglowki wszystkich blokow)\n"
    "  -R POCZ[:DL]  (z dN) tylko DL bajtow tresci od bajtu POCZ, np. -R 1G:4M;\n"
    "          dekoduje tylko potrzebne bloki ramki z pliku\n"
    "  -T N    bloki ramki w N watkach, N od 0 do 256, ten sam wynik; -T0: watek na rdzen\n"
    "  -t [dN] PLIK  sprawdza plik bez zapisu (surowy strumien wymaga trybu)\n"
    "  -l PLIK  pokazuje, co plik mowi o sobie (tryb, bloki, rozmiary, sumy)\n"
    "  -h, --help  ta pomoc;  --version  wersja programu\n"
    "  --      koniec opcji\n";

// A usage error: one of these lines, naming the option, the value or the count at fault,
// then the usage line; status 2.
inline constexpr const char* kUnknownOptionFormat = "nieznana opcja %s\n";
inline constexpr const char* kMissingValueFormat = "opcja %s wymaga wartosci\n";
inline constexpr const char* kBlockSizeFormat =
    "opcja -B: %s to nie rozmiar bloku (liczba bajtow, moze byc z K, M lub G)\n";
inline constexpr const char* kBlockRangeFormat =
    "opcja -B: rozmiar bloku %s poza zakresem od 1K do 1G\n";
inline constexpr const char* kThreadsFormat = "opcja -T: %s to nie liczba watkow\n";
inline constexpr const char* kThreadsRangeFormat =
    "opcja -T: liczba watkow %s poza zakresem od 0 do 256\n";
inline constexpr const char* kRangeFormat =
    "opcja -R: %s to nie zakres (POCZ[:DL], liczby bajtow, moga byc z K, M, G lub T)\n";
inline constexpr const char* kRangeLimitFormat =
    "opcja -R: %s poza zakresem, liczby najwyzej 2^64 - 1\n";
inline constexpr const char* kRangeNeedsDecompression =
    "opcja -R wybiera zakres przy dekompresji (d1, d2 lub d3), nie przy kompresji, -t ani -l\n";
inline constexpr const char* kThreadsNeedFrame =
    "opcja -T dzieli na watki bloki ramki: kompresja bez -F nie ma blokow\n";
inline constexpr const char* kTestAndList = "opcje -t i -l wykluczaja sie\n";
inline constexpr const char* kStandsAloneFormat = "opcja %s stoi sama, bez trybu i plikow\n";
inline constexpr const char* kListArgumentsFormat =
    "po -l oczekiwany jeden PLIK, a argumentow jest: %d\n";
inline constexpr const char* kTestArgumentsFormat =
    "po -t oczekiwany PLIK albo tryb d1, d2 lub d3 i PLIK, a argumentow jest: %d\n";
inline constexpr const char* kTestModeFormat =
    "po -t tryb %s nie jest trybem dekompresji (d1, d2 lub d3)\n";
inline constexpr const char* kArgumentsFormat =
    "oczekiwane 3 argumenty: TRYB WEJSCIE WYJSCIE, a jest ich: %d\n";
inline constexpr const char* kOptionAfterModeFormat =
    "opcja %s po trybie: opcje stoja przed trybem\n";
inline constexpr const char* kUnknownModeFormat =
    "nieznany tryb %s (c1, c2, c3 kompresja, d1, d2, d3 dekompresja)\n";

// -l of a file that is no frame and whose first 4 bytes cannot be a raw stream's header
// for its length, with its path.
inline constexpr const char* kNotLzwFormat =
    "plik %s nie jest plikiem lzw: ani ramka, ani surowy strumien tej dlugosci\n";
// -l of a raw stream: its path, then the size its header gives and the file's size.
inline constexpr const char* kRawListingFormat =
    "plik: %s\nformat: surowy strumien bez ramki; zapisuje tylko rozmiar danych (bez trybu "
    "i sum kontrolnych)\nrozmiar: %lld B -> %lld B";

// -t on a raw stream without a mode: the raw format does not record its mode.
inline constexpr const char* kRawNeedsModeFormat =
    "plik %s to surowy strumien bez ramki: podaj tryb, np. lzw -t d1 %s\n";
// -R: a range is found through a frame's blocks, in a file read at any offset.
inline constexpr const char* kRangeNeedsFrameFormat =
    "plik %s to surowy strumien bez ramki: zakres (-R) czyta tylko ramki\n";
inline constexpr const char* kRangeNeedsFileFormat =
    "zakres (-R) wymaga pliku, ktory mozna czytac od dowolnego miejsca, nie potoku: %s\n";

}  // namespace lzw
