# Completion of quillfen-remove's options and arguments for fish. The
# options are those of client/command_line.cpp; the client's tests check
# that the two agree.

# The volume: a folder.
complete -c quillfen-remove -f -a '(__fish_complete_directories)'

complete -c quillfen-remove -s h -l help -d 'Print the options and exit'
complete -c quillfen-remove -l version -d 'Print the version and exit'
complete -c quillfen-remove -s a -l apple-double -d 'Remove ._ AppleDouble files and folders'
complete -c quillfen-remove -s n -l name -x -d 'Remove items whose name the glob matches'
complete -c quillfen-remove -s e -l ext -x -d 'Remove items whose extension the glob matches'
complete -c quillfen-remove -s k -l keep -x -d 'Never remove an item whose name the glob matches'
complete -c quillfen-remove -s i -l ignore-case -d 'Globs match whatever the case'
complete -c quillfen-remove -l mac -d 'Remove what macOS leaves on a volume'
complete -c quillfen-remove -l windows -d 'Remove what Windows leaves on a volume'
complete -c quillfen-remove -s r -l request -r -F -d 'Take the JSON request from FILE (- for standard input)'
complete -c quillfen-remove -s p -l preview -d 'List what would be removed; remove nothing'
complete -c quillfen-remove -s j -l json -d 'Print the reply as JSON instead of a summary'
complete -c quillfen-remove -s q -l quiet -d 'Show no progress line on a terminal'
complete -c quillfen-remove -l force -d 'Clean the home folder, or a folder holding it, all the same'
complete -c quillfen-remove -s t -l timeout -x -d 'Give up after SECONDS without a reply'
