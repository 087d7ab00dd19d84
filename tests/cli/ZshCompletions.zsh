# zsh -f ZshCompletions.zsh DIR LINE...: for each LINE, what zsh offers when Tab is pressed after
# it, with the completion function _haul of DIR: one "HIT:WORD" line each, then "END" once the
# line is done. An interactive zsh on a pseudo-terminal, as a user has it.
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PS1=''; fpath=(${(q)1} \$fpath); autoload -U compinit; compinit -u -D"
# Every match of every compadd call, as it is added, each on a line of its own.
zpty -w z 'compadd () { local -a hits; builtin compadd -O hits "$@"; print -rl -- "" "HIT:"$^hits; builtin compadd "$@"; }'
# Ctrl-T after the Tab: keys are taken in order, so this runs once the completion is done. It
# clears the line and prints the marker, which the typed text never holds.
zpty -w z 'done-widget () { BUFFER=; zle -I; print -r -- $((6*7))END; }; zle -N done-widget; bindkey "^T" done-widget'
shift
local line out
for line in "$@"; do
  zpty -w -n z "$line"$'\t\C-t'
  zpty -r z out '*42END*'
  print -r -- "${out//$'\r'/}"
  print -r -- END
done
zpty -d z
