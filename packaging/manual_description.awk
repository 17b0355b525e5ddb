# Turns the part of `velmorix-cli --help` above "Options:" into the
# DESCRIPTION of the manual page, as a help2man include ([=DESCRIPTION]).
#
# help2man fills the commands' blocks into flat paragraphs: a synopsis that
# goes on over several lines ran into the command's description, and the
# sample lines ran into each other. Here each command becomes a tagged
# paragraph, its synopsis the tag (broken only between options) and its
# description the body, with the sample lines kept as they are:
#
#   Destinations:                   (a heading: one word and a colon)
#     add NAME --url HOST [...]     (indent 2: a command's synopsis...)
#         [--remote DIR] [...]      (...going on at indent 6 with "[")
#         Adds a destination ...    (indent 6: its description)
#           Copy file to FTP : ...  (indent 8 and more: sample lines)
#     Progress lines go to ...      (indent 2, not a command: plain text)
#
# Plain awk (mawk): no gensub, no backslashes in gsub's replacements.

# The text as roff: backslashes and hyphens escaped, options in bold.
function roff(text,    out, i, n, c, prev, option) {
  out = ""
  n = length(text)
  prev = " "
  for (i = 1; i <= n; i++) {
    c = substr(text, i, 1)
    if (c == "-" && prev !~ /[A-Za-z0-9_-]/ && \
        (substr(text, i + 1, 1) ~ /[A-Za-z]/ || \
         (substr(text, i + 1, 1) == "-" && substr(text, i + 2, 1) ~ /[a-z]/))) {
      option = substr(text, i)
      match(option, /^--?[A-Za-z0-9][A-Za-z0-9-]*/)
      option = substr(option, 1, RLENGTH)
      # -q and --json are options; "-C" in "Ctrl-C" never gets here (a
      # letter comes before it), a range like "-0" is no option.
      out = out "\\fB" hyphens(option) "\\fR"
      i += length(option) - 1
      prev = "-"
      continue
    }
    if (c == "\\")
      out = out "\\e"
    else if (c == "-")
      out = out "\\-"
    else
      out = out c
    prev = c
  }
  return out
}

function hyphens(text,    out, i, c) {
  out = ""
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    out = out (c == "-" ? "\\-" : c)
  }
  return out
}

function unbreakable(text,    out, i, c) {
  out = ""
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    out = out (c == " " ? "\\ " : c)
  }
  return out
}

# A line of output text: guarded where roff or help2man's include reader
# would take its first character for something else.
function line(text) {
  if (text ~ /^[.'\[\/]/)
    text = "\\&" text
  print text
}

# The synopsis as one tag: each option group ("[--port N]") kept together
# with unbreakable spaces and unhyphenated, the command's name in bold.
function emit_synopsis(    out, group, depth, i, c, first) {
  out = ""
  group = ""
  depth = 0
  first = 1
  synopsis = synopsis " "
  for (i = 1; i <= length(synopsis); i++) {
    c = substr(synopsis, i, 1)
    if (c == "[")
      depth++
    else if (c == "]" && depth > 0)
      depth--
    if (c == " " && depth == 0) {
      if (group != "") {
        if (first)
          group = "\\fB" roff(group) "\\fR"
        else
          group = roff(group)
        group = unbreakable(group)
        out = out (out == "" ? "" : " ") "\\%" group
        first = 0
      }
      group = ""
    } else {
      group = group c
    }
  }
  # Left-aligned: spread over a full line, option groups look like columns.
  print ".TP"
  print ".ad l"
  line(out)
  print ".ad"
  synopsis = ""
}

# Ends what is open: a synopsis with no description yet, sample lines.
function close_block() {
  if (synopsis != "")
    emit_synopsis()
  if (state == "sample")
    print ".fi"
  state = ""
}

BEGIN {
  print "[=DESCRIPTION]"
  state = ""     # "", "synopsis", "body", "sample", "text"
  synopsis = ""
  in_commands = 0
}

NR == 1 && /^Usage:/ { next }
/^Options:$/ { exit }

/^[ \t]*$/ {
  close_block()
  next
}

{
  match($0, /^ */)
  indent = RLENGTH
  text = substr($0, indent + 1)
}

# A heading: "Destinations:", "Runs:".
indent == 0 && text ~ /^[A-Z][A-Za-z ]*:$/ {
  close_block()
  print ".SS \"" text "\""
  in_commands = 1
  next
}

# A command's synopsis: its name, then nothing, a NAME or an option group.
in_commands && indent == 2 && text ~ /^[a-z]+( +([A-Z]+|\[|--)|$)/ {
  close_block()
  synopsis = text
  state = "synopsis"
  next
}

state == "synopsis" && indent >= 4 && text ~ /^\[/ {
  synopsis = synopsis " " text
  next
}

# Sample lines inside a description, shown line by line.
(state == "body" || state == "synopsis" || state == "sample") && indent >= 8 {
  if (state == "synopsis")
    emit_synopsis()
  if (state != "sample") {
    print ".IP"
    print ".nf"
    state = "sample"
  }
  line(roff(text))
  next
}

(state == "synopsis" || state == "body" || state == "sample") && indent >= 4 {
  if (state == "synopsis")
    emit_synopsis()
  if (state == "sample") {
    print ".fi"
    print ".IP"
  }
  state = "body"
  line(roff(text))
  next
}

# Anything else is plain text of the section.
{
  if (state != "text") {
    close_block()
    print ".PP"
    state = "text"
  }
  line(roff(text))
}

END { close_block() }
