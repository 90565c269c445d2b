# bash completion for setuppack, installed as share/bash-completion/completions/setuppack.
# Needs nothing from the bash-completion package: sourcing this file is enough.

_setuppack() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # The command is the first word that is neither an option nor the value of --jobs: the
  # options of the whole tool may come before it.
  local i at=0 command=""
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --jobs) ((i++)) ;;
      -*) ;;
      *)
        command=${COMP_WORDS[i]}
        at=$i
        break
        ;;
    esac
  done
  if [ -z "$command" ] && [ "$prev" != --jobs ] && [[ $cur != -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "create list verify extract bundle compress decompress help --help" -- "$cur")
    return 0
  fi

  local options="-q --quiet -v --verbose --jobs -h --help -V --version"
  local packing="-o --output --fast --codepage --werror --exclude --files-from --follow-links"
  case $command in
    create) options+=" $packing" ;;
    list) options+=" --codepage --json" ;;
    verify) options+=" --codepage --json --werror" ;;
    extract) options+=" --codepage --werror --splash" ;;
    bundle) options+=" $packing --single-file --stub --splash --icon --product --product-version
      --company --description --copyright" ;;
    compress) options+=" --fast" ;;
    help)
      ((COMP_CWORD == at + 1)) &&
        mapfile -t COMPREPLY < <(compgen -W "create list verify extract bundle compress decompress" -- "$cur")
      return 0
      ;;
    decompress | "") ;;
    *) return 0 ;;
  esac

  case $prev in
    -o | --output | --files-from | --stub)
      _setuppack_paths file "$cur"
      return 0
      ;;
    --icon)
      _setuppack_paths ico "$cur"
      return 0
      ;;
    --splash)
      _setuppack_paths bmp "$cur"
      return 0
      ;;
    --exclude | --version | --product | --product-version | --company | --description | --copyright)
      # A pattern or a text, not a path: nothing to offer.
      return 0
      ;;
    --jobs)
      mapfile -t COMPREPLY < <(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 1)")" -- "$cur")
      return 0
      ;;
    --codepage)
      # The ANSI code pages of Windows: Thai, the four double-byte ones, then 1250 to 1258.
      mapfile -t COMPREPLY < <(compgen -W "874 932 936 949 950 1250 1251 1252 1253 1254 1255 1256 1257 1258" -- "$cur")
      return 0
      ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return 0
  fi

  # Which argument this is, not counting options and the values they take.
  local position=0
  for ((i = at + 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -o | --output | --jobs | --codepage | --exclude | --files-from | --stub | --splash | --icon | \
        --version | --product | --product-version | --company | --description | --copyright) ((i++)) ;;
      -*) ;;
      *) ((position++)) ;;
    esac
  done
  case $command:$position in
    create:0 | extract:1) _setuppack_paths directory "$cur" ;;
    list:0 | verify:0 | extract:0) _setuppack_paths release "$cur" ;;
    bundle:0) _setuppack_paths package "$cur" ;;
    compress:[01] | decompress:[01]) _setuppack_paths file "$cur" ;;
  esac
  return 0
}

# _setuppack_paths file|directory|package|release|ico|bmp WORD: paths that start with WORD,
# directories always, so that the user can go down into them. A release is read from a package,
# a folder or its setup.exe.
_setuppack_paths() {
  local kind=$1 cur=$2
  compopt -o filenames 2>/dev/null
  case $kind in
    directory) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    file) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    package) _setuppack_matching "$cur" '[qQ][vV][dD]' ;;
    release) _setuppack_matching "$cur" '[qQ][vV][dD]' '[eE][xX][eE]' ;;
    ico) _setuppack_matching "$cur" '[iI][cC][oO]' ;;
    bmp) _setuppack_matching "$cur" '[bB][mM][pP]' ;;
  esac
}

# _setuppack_matching WORD EXTENSION...: directories, and the files whose extension matches one
# of the patterns (plain globs: no extglob needed).
_setuppack_matching() {
  local cur=$1 extension
  shift
  mapfile -t COMPREPLY < <(
    {
      compgen -d -- "$cur"
      for extension in "$@"; do compgen -f -X "!*.$extension" -- "$cur"; done
    } | sort -u
  )
}

complete -F _setuppack setuppack
