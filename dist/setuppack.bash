# bash completion for setuppack, installed as share/bash-completion/completions/setuppack.
# Needs nothing from the bash-completion package: sourcing this file is enough.

_setuppack() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "create list verify extract bundle compress decompress --help" -- "$cur")
    return 0
  fi

  local command=${COMP_WORDS[1]}
  local options
  case $command in
    create) options="-o --output --fast --jobs --codepage --exclude --files-from --follow-links --quiet --help" ;;
    list | verify | extract) options="--codepage --quiet --help" ;;
    bundle) options="-o --output --single-file --stub --splash --icon --version --product --company
      --description --copyright --codepage --fast --jobs --quiet --help" ;;
    compress) options="--fast --quiet --help" ;;
    decompress) options="--quiet --help" ;;
    *) return 0 ;;
  esac

  case $prev in
    -o | --output | --files-from | --stub | --splash | --icon)
      _setuppack_paths file "$cur"
      return 0
      ;;
    --exclude | --version | --product | --company | --description | --copyright)
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
  local i position=0
  for ((i = 2; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -o | --output | --jobs | --codepage | --exclude | --files-from | --stub | --splash | --icon | \
        --version | --product | --company | --description | --copyright) ((i++)) ;;
      -*) ;;
      *) ((position++)) ;;
    esac
  done
  case $command:$position in
    create:0 | extract:1) _setuppack_paths directory "$cur" ;;
    list:0 | verify:0 | extract:0 | bundle:0) _setuppack_paths package "$cur" ;;
    compress:[01] | decompress:[01]) _setuppack_paths file "$cur" ;;
  esac
  return 0
}

# _setuppack_paths file|directory|package WORD: paths that start with WORD, directories always,
# so that the user can go down into them.
_setuppack_paths() {
  local kind=$1 cur=$2
  compopt -o filenames 2>/dev/null
  case $kind in
    directory) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    file) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    package)
      mapfile -t COMPREPLY < <(
        {
          compgen -d -- "$cur"
          compgen -f -X '!*.[qQ][vV][dD]' -- "$cur"
        } | sort -u
      )
      ;;
  esac
}

complete -F _setuppack setuppack
