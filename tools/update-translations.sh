#!/usr/bin/env bash
# Brings the catalogs under translations/ up to date with the texts of the sources, then
# compiles each to show what is left to translate:
#   tools/update-translations.sh          every catalog there
#   tools/update-translations.sh fr de    those too, made when missing (translations/updater_fr.ts)
# Texts new in the sources arrive unfinished, texts gone from them are dropped. The build compiles
# the catalogs itself and embeds them; a text without a finished translation shows in Chinese.
# Needs lupdate and lrelease of Qt 5 (Debian: qttools5-dev-tools, see tools/setup.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tool() {
    for candidate in "/usr/lib/qt5/bin/$1" "$1-qt5" "$1"; do
        command -v "$candidate" >/dev/null 2>&1 && { echo "$candidate"; return; }
    done
    echo "update-translations: $1 not found (Debian: apt-get install qttools5-dev-tools)" >&2
    exit 2
}
lupdate=$(tool lupdate)
lrelease=$(tool lrelease)

catalogs=(translations/updater_*.ts)
[ -e "${catalogs[0]}" ] || catalogs=()
for language in "$@"; do
    case "$language" in
        *[!A-Za-z_]*|"") echo "update-translations: not a language name: $language" >&2; exit 2 ;;
    esac
    catalog="translations/updater_$language.ts"
    [[ " ${catalogs[*]} " == *" $catalog "* ]] || catalogs+=("$catalog")
done
[ ${#catalogs[@]} -gt 0 ] || { echo "update-translations: no catalog; name a language" >&2; exit 2; }

# the layers the updater is built from; the publishing tool speaks to vendors, in English
for catalog in "${catalogs[@]}"; do
    language=$(basename "$catalog" .ts)
    language=${language#updater_}
    "$lupdate" -silent -no-obsolete -locations none -extensions cpp,h,ui \
        -source-language zh_CN -target-language "$language" \
        release platform net worker ui app -ts "$catalog"
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for catalog in "${catalogs[@]}"; do
    echo "$catalog:"
    "$lrelease" -nounfinished "$catalog" -qm "$scratch/$(basename "$catalog" .ts).qm" \
        | sed -n 's/^ *Generated/  generated/p; s/^ *Ignored/  ignored/p'
done
