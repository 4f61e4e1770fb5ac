#!/bin/sh
# Writes a program's manual page from the program's own --help, so that the page lists exactly
# the options, commands and exit statuses the program has, without anyone editing it by hand.
#
#   make-manpage.sh --name NAME --summary TEXT --date DATE --source TEXT [--extra FILE]
#                   --output FILE -- PROGRAM [ARGUMENT...]
#
# PROGRAM is run with --help. Its help is read the way QCommandLineParser and veltrano-cli lay it
# out: a "Usage:" line, description lines, then sections headed "Name:" at the left margin. In a
# section, a line indented by two spaces starts an entry; its text follows after two or more
# spaces, or on the lines below, indented further. Unindented lines are paragraphs.
#
# FILE holds hand-written roff for what --help cannot say (environment, files, see also): its
# ".SH DESCRIPTION" part follows the help's own description, its other sections end the page.
set -eu

name= summary= date= source= extra= output=
while [ $# -gt 0 ]; do
  case $1 in
    --name) name=$2; shift 2 ;;
    --summary) summary=$2; shift 2 ;;
    --date) date=$2; shift 2 ;;
    --source) source=$2; shift 2 ;;
    --extra) extra=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "make-manpage: unknown argument '$1'" >&2; exit 1 ;;
  esac
done
if [ -z "$name" ] || [ -z "$output" ] || [ $# -eq 0 ]; then
  echo "make-manpage: need --name, --output and the program after --" >&2
  exit 1
fi

# Messages the program prints on its way (Qt's notes about the session, for instance) only
# matter when it fails; the page itself comes from standard output alone.
help=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$help" "$errors" "$output.part"' EXIT
if ! "$@" --help >"$help" 2>"$errors"; then
  cat "$errors" >&2
  echo "make-manpage: '$* --help' failed" >&2
  exit 1
fi
if ! grep -q '^Usage:' "$help"; then
  echo "make-manpage: '$* --help' printed no 'Usage:' line" >&2
  exit 1
fi

LC_ALL=C awk -v name="$name" -v summary="$summary" -v date="$date" -v source="$source" -v extra="$extra" '
# Backslashes are roff escapes; a line must not start with a control character.
function esc(s) {
  gsub(/\\/, "\\e", s)
  return s
}
function emit(s) {
  if (s ~ /^[.\047]/)
    s = "\\&" s
  print s
}
# Words that start with a dash are options: their dashes are minus signs, so that text copied
# from the page works on the command line. Hyphens inside ordinary words stay hyphens.
function prose(s,   n, w, i, out) {
  n = split(esc(s), w, " ")
  out = ""
  for (i = 1; i <= n; i++) {
    if (w[i] ~ /^[(\[\047"]*-/)
      gsub(/-/, "\\-", w[i])
    out = out (i > 1 ? " " : "") w[i]
  }
  return out
}
# An entry'\''s term: options and the leading word (a command) in bold, placeholders in italics.
function term(s,   n, w, i, pre, core, post, out) {
  n = split(s, w, " ")
  out = ""
  for (i = 1; i <= n; i++) {
    core = w[i]
    pre = ""
    while (core != "" && index("([", substr(core, 1, 1)) > 0) {
      pre = pre substr(core, 1, 1)
      core = substr(core, 2)
    }
    post = ""
    while (core != "" && index("]),.", substr(core, length(core), 1)) > 0) {
      post = substr(core, length(core), 1) post
      core = substr(core, 1, length(core) - 1)
    }
    if (core ~ /^<.*>$/) {
      core = "\\fI" esc(substr(core, 2, length(core) - 2)) "\\fR"
    } else if (core ~ /^-/ || i == 1) {
      core = esc(core); gsub(/-/, "\\-", core)
      core = "\\fB" core "\\fR"
    } else if (core ~ /^[A-Z][A-Z0-9_]*/) {
      core = "\\fI" esc(core) "\\fR"
    } else {
      core = esc(core)
    }
    out = out (i > 1 ? " " : "") pre core post
  }
  return out
}
function flush() {
  if (entry != "") {
    print ".TP"
    emit(term(entry))
    if (text != "")
      emit(prose(text))
  }
  entry = ""
  text = ""
}
function trim(s) {
  sub(/^ +/, "", s)
  sub(/ +$/, "", s)
  return s
}
function upper_name(s) {
  s = esc(toupper(s))
  gsub(/-/, "\\-", s)
  return s
}
BEGIN {
  # The hand-written part: its description, and the sections that end the page.
  current = ""
  if (extra != "") {
    while ((getline l < extra) > 0) {
      if (l ~ /^\.SH /) {
        current = (l ~ /^\.SH "?DESCRIPTION"?$/) ? "description" : "tail"
        if (current == "tail")
          tail = tail l "\n"
        continue
      }
      if (current == "description")
        extra_description = extra_description l "\n"
      else if (current == "tail")
        tail = tail l "\n"
    }
    close(extra)
  }
  print ".\\\" Generated at build time from the output of \047" name " \\-\\-help\047."
  print ".\\\" Change the program'\''s help or the page'\''s extra text rather than this file."
  printf ".TH \"%s\" \"1\" \"%s\" \"%s\" \"User Commands\"\n", upper_name(name), esc(date), esc(source)
  print ".SH NAME"
  emit(minus_name(name) " \\- " esc(summary))
  section = ""
}
NR == 1 {
  usage = $0
  sub(/^Usage: +[^ ]+ */, "", usage)
  print ".SH SYNOPSIS"
  print ".B " minus_name(name)
  if (usage != "")
    emit(prose(usage))
  print ".SH DESCRIPTION"
  next
}
/^[A-Z][A-Za-z ]*:$/ {
  flush()
  if (section == "")
    finish_description()
  section = substr($0, 1, length($0) - 1)
  print ".SH " upper_name(section)
  paragraph = 0
  next
}
/^ *$/ {
  flush()
  paragraph = 0
  next
}
section == "" {
  # The program'\''s description, before the first section.
  if (described && paragraph == 0)
    print ".PP"
  emit(prose(trim($0)))
  described = 1
  paragraph = 1
  next
}
/^  [^ ]/ {
  flush()
  line = substr($0, 3)
  gap = index(line, "  ")
  if (gap > 0) {
    entry = substr(line, 1, gap - 1)
    text = trim(substr(line, gap))
  } else {
    entry = line
  }
  next
}
/^   / && entry != "" {
  text = trim(text " " trim($0))
  next
}
{
  flush()
  if (paragraph == 0)
    print ".PP"
  emit(prose(trim($0)))
  paragraph = 1
}
END {
  flush()
  if (section == "")
    finish_description()
  printf "%s", tail
}
function finish_description() {
  if (extra_description != "") {
    if (described)
      print ".PP"
    printf "%s", extra_description
  }
}
function minus_name(s) {
  s = esc(s)
  gsub(/-/, "\\-", s)
  return s
}
' "$help" >"$output.part"
mv "$output.part" "$output"
