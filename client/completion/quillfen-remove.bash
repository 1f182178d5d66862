# Completion of quillfen-remove's options and arguments for bash. The
# options are those of client/command_line.cpp; the client's tests check
# that the two agree.

_quillfen_remove() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    -r | --request)
      # A JSON file, or "-" for standard input.
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    -n | --name | -e | --ext | -k | --keep | -t | --timeout)
      # Free text: nothing sensible to offer.
      COMPREPLY=()
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-h --help --version
      -a --apple-double -n --name -e --ext -k --keep -i --ignore-case
      --mac --windows -r --request
      -p --preview -j --json -q --quiet --force -t --timeout' -- "$cur")
  else
    # The volume: a folder.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  fi
}
complete -F _quillfen_remove quillfen-remove
