# bash completion for quillmere-photo-cli
_quillmere_photo_cli() {
  local cur prev command
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev="${COMP_WORDS[COMP_CWORD-1]}"
  command="${COMP_WORDS[1]}"
  case "$prev" in
    --device|--to)
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    --heic-jpeg)
      COMPREPLY=($(compgen -W "also instead no" -- "$cur"))
      return ;;
    --wait|--album|--photo)
      return ;;
  esac
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "list export devices --help --version" -- "$cur"))
    return
  fi
  case "$command" in
    list) COMPREPLY=($(compgen -W "--device --wait --json" -- "$cur")) ;;
    export) COMPREPLY=($(compgen -W "--device --wait --to --all --album --photo --camera --heic-jpeg" -- "$cur")) ;;
    devices) COMPREPLY=($(compgen -W "--wait" -- "$cur")) ;;
  esac
}
complete -F _quillmere_photo_cli quillmere-photo-cli
