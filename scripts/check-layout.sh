#!/usr/bin/env bash
# Fails when an #include or a CMake link crosses a line of the README's Layout
# table: every project header a folder includes, and every project library its
# CMake targets link, must belong to a folder it may use.
# Folders that do not exist yet are checked as soon as they do.
# Usage: scripts/check-layout.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# folder -> the folders its sources may include (its own always included).
# The most specific folder wins: emulator/program/ before emulator/.
declare -A may_use=(
    [ecat]=""
    [eni]="ecat"
    [common]=""
    [ipc]="common"
    [client]="ipc common platform"
    [master]="ecat eni common"
    [driver]="master emulator ecat eni ipc platform common"
    [emulator]="ecat eni"
    [scan]="master emulator ecat eni common"
    [emulator/program]="emulator ecat eni"
    [platform]=""
    [app]="check launcher client platform common"
    [check]="client platform"
    [launcher]="platform common"
    [tools]="platform"
)

# Folders whose own files may include only the C++ standard library besides
# what they may use: no system or third-party headers.
standard_only=" ecat emulator "

owner_of() {
    local path=$1
    if [[ $path == emulator/program/* ]]; then
        echo emulator/program  # the program: the segment behind a raw socket
    else
        echo "${path%%/*}"
    fi
}

allowed() {
    local owner=$1 target=$2
    [[ $target == "$owner" ]] && return 0
    local folder
    for folder in ${may_use[$owner]}; do
        [[ $target == "$folder" ]] && return 0
    done
    return 1
}

failures=0
while IFS= read -r file; do
    owner=$(owner_of "$file")
    [[ -v may_use[$owner] ]] || continue
    while IFS= read -r match; do
        line=${match%%:*}
        text=${match#*:}
        if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
            header=${BASH_REMATCH[1]}
            if [[ $header != */* ]]; then
                continue  # a header beside the file
            fi
            target=$(owner_of "$header")
            if ! allowed "$owner" "$target"; then
                echo "$file:$line: $owner/ may not include \"$header\"" >&2
                failures=$((failures + 1))
            fi
        elif [[ $standard_only == *" $owner "* &&
                $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
            header=${BASH_REMATCH[1]}
            if [[ ! $header =~ ^[a-z_]+$ && ! ($owner == emulator && $header == nlohmann/*) ]]; then
                echo "$file:$line: $owner/ may include only the standard library, not <$header>" >&2
                failures=$((failures + 1))
            fi
        fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.hpp' '*.cpp' '*.cc')

# The same rule for CMake: a folder's targets link only the project libraries
# of folders it may use.
declare -A folder_of_target=(
    [ecat]=ecat [eni]=eni [common]=common [ipc]=ipc [client]=client
    [rt_platform]=platform [lomadyn_core]=driver [master]=master
    [emulator]=emulator [parvane_last_status]=launcher [parvane_launcher]=launcher
    [parvane_check]=check [parvane_app]=app [scan_program]=scan [scan_core]=scan
)
while IFS= read -r cmake_file; do
    folder=${cmake_file%/CMakeLists.txt}
    [[ -v may_use[$folder] ]] || continue
    # Each target_link_libraries call on one line, however it was wrapped.
    while IFS= read -r call; do
        for word in $call; do
            [[ -v folder_of_target[$word] ]] || continue
            target=${folder_of_target[$word]}
            if ! allowed "$folder" "$target"; then
                echo "$cmake_file: $folder/ may not link $word ($target/)" >&2
                failures=$((failures + 1))
            fi
        done
    done < <(tr '\n' ' ' <"$cmake_file" | grep -o 'target_link_libraries([^)]*)' |
        sed 's/^target_link_libraries( *[^ ]* //; s/)$//')
done < <(git ls-files --cached --others --exclude-standard -- '*CMakeLists.txt')

if ((failures > 0)); then
    echo "layout check: $failures include(s) or link(s) cross the README's Layout table" >&2
    exit 1
fi
echo "layout check: every include and link stays within the Layout table"
