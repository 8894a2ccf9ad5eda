# A Tk entry that holds the keyboard focus and writes its text to a file on
# every change: the typing tests' Tk client. Usage: wish tk_text_field.tcl OUTPUT
set output [lindex $argv 0]
proc save {args} {
  set file [open $::output.tmp w]
  fconfigure $file -encoding utf-8
  puts -nonewline $file $::text
  close $file
  file rename -force $::output.tmp $::output
}
set text ""
entry .field -textvariable text -width 60
pack .field
trace add variable text write save
bind .field <FocusIn> save
update
focus -force .field
