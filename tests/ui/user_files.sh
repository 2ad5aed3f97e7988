#!/bin/bash
# The user's files of vanta.exe's tests, made natively on the volume and
# hashed on its backing store: through Wine each file costs about a
# millisecond, and the tests hash 1,200 of them after every run.
#
#   user_files.sh plant DIR OUT   empties DIR, then makes 1,200 files of random
#                                 sizes and bytes beside DIR/chosen and in it,
#                                 some named like work files, some with names
#                                 whose code page 932 form has 0x5C trail
#                                 bytes; "done" into OUT
#   user_files.sh empty DIR OUT   empties DIR; "done" into OUT
#   user_files.sh hash DIR OUT    every folder and file under DIR but
#                                 chosen/$VANTA$$ (the run's), a file with its
#                                 SHA-256, a link with its target, one a line
#                                 (a tab between path and hash), sorted, into OUT
set -euo pipefail
cd "$2"
done_file="$3"
case "$1" in
empty)
    find . -mindepth 1 -delete
    ;;
plant)
    find . -mindepth 1 -delete
    perl -e '
        open(my $random, "<:raw", "/dev/urandom") or die;
        my @folders = ("beside", "beside/表", "chosen", "chosen/ソ", "chosen/0000");
        my @names = ("%08u", "%u", "file%u.bin", "表%u", "ソ %u.txt");
        mkdir $_ or die "$_: $!" for @folders;
        srand(20261207);
        for my $i (0 .. 1199) {
            my $size = int(rand($i % 40 ? 12000 : 400000));
            read($random, my $bytes, $size) == $size or die;
            my $path = $folders[$i % 5] . "/" . sprintf($names[int($i / 5) % 5], $i);
            open(my $out, ">:raw", $path) or die "$path: $!";
            print $out $bytes;
            close $out or die;
        }'
    ;;
hash)
    { find . -mindepth 1 -path './chosen/$VANTA$$' -prune -o -type d -printf '%P\tfolder\n'
      find . -path './chosen/$VANTA$$' -prune -o -type l -printf '%P\tlink to %l\n'
      find . -path './chosen/$VANTA$$' -prune -o -type f -print0 | xargs -0r sha256sum |
          sed 's/^\([0-9a-f]*\)  \.\/\(.*\)$/\2\t\1/'
    } | LC_ALL=C sort >"$done_file.new"
    mv "$done_file.new" "$done_file"
    exit 0
    ;;
*)
    echo "usage: user_files.sh plant|empty|hash DIR DONE" >&2
    exit 2
    ;;
esac
echo done >"$done_file.new"
mv "$done_file.new" "$done_file"
