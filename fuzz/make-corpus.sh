#!/usr/bin/env bash
# Rebuilds the seed corpora under fuzz/corpus/ with a built lzw program:
#   bash fuzz/make-corpus.sh build/lzw
# Decoder seeds are streams the matching compressor wrote, whole and cut short, and the file of
# an empty input; round-trip seeds are plain inputs, one of them long enough to fill the
# dictionary so that freezing, eviction and clearing are reached at once; context seeds are
# call sequences; frame seeds are the format's vectors (tests/vectors/, written by the library)
# and a few files made of them.
set -euo pipefail
lzw=$(realpath "${1:?usage: make-corpus.sh PATH_TO_LZW}")
cd "$(dirname "$0")"

plain=$(mktemp -d)
trap 'rm -rf "$plain"' EXIT
printf 'x' >"$plain/one_byte"
printf 'abababab' >"$plain/abababab"
: >"$plain/empty"
perl -e 'print "the code of a phrase is its slot, and a phrase extends its parent by one byte\n" x 4' \
    >"$plain/text"
perl -e 'print "a" x 3000' >"$plain/run"
# Seeded, so the same bytes come out on every run of this script.
perl -e 'srand(7); print map { chr(int(rand(256))) } 1 .. 4600' >"$plain/random_fills_dictionary"
perl -e 'srand(8); print map { ("a", "b")[int(rand(2))] } 1 .. 2000' >"$plain/two_letters"
# Four byte values at random: long chains of displaced pairs in the reset-mode compressor's
# table, several ending in its stash, within the round-trip fuzzers' 16384 bytes.
perl -e 'srand(9); print map { chr(int(rand(4))) } 1 .. 16384' >"$plain/four_values"
# Decoder seeds only (megabytes, but under 8 KB packed): one byte value repeated until eviction
# gives up the very phrase being extended, and two long runs that bring the eviction decoder
# to the same point on its own side.
perl -e 'print "a" x 7382402' >"$plain/long_run"
perl -e 'print "a" x 2002000, "b" x 4039903, "a" x 3010, "b"' >"$plain/two_long_runs"

for policy in 1 2 3; do
    decode=corpus/fuzz_decode_d$policy
    roundtrip=corpus/fuzz_roundtrip_$policy
    rm -rf "$decode" "$roundtrip"
    mkdir -p "$decode" "$roundtrip"
    for name in empty one_byte abababab text run random_fills_dictionary two_letters \
        four_values; do
        cp "$plain/$name" "$roundtrip/"
    done
    for name in one_byte abababab text run random_fills_dictionary two_letters; do
        "$lzw" "c$policy" "$plain/$name" "$decode/$name.lzw" >/dev/null
    done
    # A frozen dictionary gains nothing from the long run but it would slow the d1 fuzzer
    # tenfold; reset mode meets code 256 right after a clearing in it.
    if [[ $policy != 1 ]]; then
        "$lzw" "c$policy" "$plain/long_run" "$decode/long_run.lzw" >/dev/null
    fi
    if [[ $policy == 2 ]]; then
        "$lzw" c2 "$plain/two_long_runs" "$decode/two_long_runs.lzw" >/dev/null
        # Damaged: the chain of phrases a a, a a a, ... that fills the dictionary, then code
        # 4095 again, which makes the eviction decoder give up the very prefix it extends and
        # leave that slot its own parent, then read it back.
        perl -e 'my @c = (97, 256 .. 4095, 97, 4095);
                 my $s = pack("N", 0x7ffffffe);
                 for (my $i = 0; $i < @c; $i += 2) {
                     my ($a, $b) = ($c[$i], $c[$i + 1]);
                     $s .= defined $b ? pack("C3", $a >> 4, ($a & 15) << 4 | $b >> 8, $b & 255)
                                      : pack("C2", $a >> 4, ($a & 15) << 4);
                 }
                 print $s' >"$decode/chain_then_own_parent.lzw"
    fi
    printf '\xff\xff\xff\xff' >"$decode/empty.lzw"
    head -c 3 "$decode/abababab.lzw" >"$decode/header_cut.lzw"
    head -c 7 "$decode/abababab.lzw" >"$decode/abababab_cut_in_code.lzw"
    head -c 60 "$decode/text.lzw" >"$decode/text_cut.lzw"
done

# Call sequences for one context (see context_fuzzer.cpp for the layout): every policy and
# direction after the others, whole and short outputs, streams packed first or damaged, a
# refused policy, and a dictionary filled early in the sequence.
context=corpus/fuzz_context
rm -rf "$context"
mkdir -p "$context"
TEXT="$plain/text" RANDOM_BYTES="$plain/random_fills_dictionary" CONTEXT="$context" perl -e '
    sub slurp { local $/; open my $f, "<", $_[0] or die; binmode $f; my $s = <$f>; $s }
    # call(compress, policy, room, pack first with policy or 0, payload)
    sub call {
        my ($c, $p, $room, $packed, $data) = @_;
        my $head = $c | $p << 1 | $room << 3 | ($packed ? 32 | ($packed - 1) << 6 : 0);
        pack("Cv", $head, length $data) . $data;
    }
    sub seed { open my $f, ">", "$ENV{CONTEXT}/$_[0]" or die; binmode $f; print $f $_[1] }
    my $text = slurp($ENV{TEXT});
    my $random = slurp($ENV{RANDOM_BYTES});
    seed("every_mode", join "", map { call(1, $_, 2, 0, $text), call(0, $_, 2, $_, $text) } 1 .. 3);
    seed("crossed_policies", join "", call(0, 1, 2, 2, $text), call(0, 2, 2, 3, $text),
         call(0, 3, 2, 1, $text), call(1, 2, 2, 0, $text), call(0, 2, 2, 2, $text));
    seed("short_outputs", join "", map { call(1, $_, 0, 0, $text), call(0, $_, 1, $_, $text),
         call(0, $_, 0, $_, $text) } 1 .. 3);
    seed("full_then_short", join "", map { call(1, $_, 2, 0, $random), call(1, $_, 2, 0, "ab" x 20),
         call(0, $_, 2, $_, $random), call(0, $_, 2, $_, "abab") } 1 .. 3);
    seed("damaged_and_refused", join "", call(0, 2, 2, 0, substr($random, 0, 300)),
         call(1, 0, 2, 0, $text), call(0, 1, 2, 0, "\0\0\0\x10" . $text), call(1, 1, 2, 0, $text));
'

# Frames: the vectors of every policy and both versions (coded and stored blocks, a dictionary
# filled, a skippable frame, a frame without checksums, seek tables), then frames in a row, a
# frame cut inside a block and one followed by other bytes.
frame=corpus/fuzz_frame_decode
vectors=../tests/vectors
rm -rf "$frame"
mkdir -p "$frame"
cp "$vectors"/*.lzw "$frame/"
for file in "$vectors"/v1/*.lzw; do cp "$file" "$frame/v1-$(basename "$file")"; done
cat "$vectors/text-evict.lzw" "$vectors/skippable-freeze.lzw" "$vectors/two-blocks-freeze.lzw" \
    >"$frame/concatenated.lzw"
head -c 100 "$vectors/two-blocks-freeze.lzw" >"$frame/two-blocks-cut.lzw"
{
    cat "$vectors/a-freeze.lzw"
    printf 'junk'
} >"$frame/a-then-junk.lzw"

# The reader: files with seek tables, alone and concatenated, one with a note between two, a
# table cut short, a version 1 frame before a table's frame, and a frame without its table.
reader=corpus/fuzz_reader
rm -rf "$reader"
mkdir -p "$reader"
cp "$vectors/two-blocks-freeze.lzw" "$vectors/numbers-evict.lzw" "$vectors/empty-reset.lzw" \
    "$vectors/unchecked-freeze.lzw" "$reader/"
cat "$vectors/two-blocks-freeze.lzw" "$vectors/text-reset.lzw" >"$reader/two-files.lzw"
cat "$vectors/a-freeze.lzw" "$vectors/skippable-freeze.lzw" "$vectors/numbers-freeze.lzw" \
    >"$reader/note-between.lzw"
head -c -10 "$vectors/two-blocks-freeze.lzw" >"$reader/table-cut.lzw"
cat "$vectors/v1/two-blocks-freeze.lzw" "$vectors/text-evict.lzw" >"$reader/v1-then-v2.lzw"

