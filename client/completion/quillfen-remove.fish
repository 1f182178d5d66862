# Completion of quillfen-remove's options and arguments for fish. The
# options are those of client/command_line.cpp; the client's tests check
# that the two agree.

# The volume: a folder.
complete -c quillfen-remove -f -a '(__fish_complete_directories)'

complete -c quillfen-remove -s h -l help -d 'Print the options and exit'
complete -c quillfen-remove -s V -l version -d 'Print the version and exit'
complete -c quillfen-remove -s a -l apple-double -d 'Remove ._ AppleDouble files and folders'
complete -c quillfen-remove -l mac -d 'Remove what macOS leaves on a volume'
complete -c quillfen-remove -l windows -d 'Remove what Windows leaves on a volume'
complete -c quillfen-remove -s n -l name -x -d 'Remove names matching GLOB'
complete -c quillfen-remove -s e -l ext -x -d 'Remove extensions matching GLOB, without the dot'
complete -c quillfen-remove -s i -l ignore-case -d 'Match names and extensions whatever their case'
complete -c quillfen-remove -s k -l keep -x -d 'Never remove a name matching GLOB'
complete -c quillfen-remove -s r -l request -r -F -d 'Take the JSON request from FILE (- for standard input)'
complete -c quillfen-remove -s p -l preview -d 'List what would be removed; remove nothing'
complete -c quillfen-remove -l force -d 'Clean the home folder, or a folder holding it, all the same'
complete -c quillfen-remove -s t -l timeout -x -d 'Stop the removal after SECONDS'
complete -c quillfen-remove -s v -l verbose -d 'Print each removed path on a line of its own'
complete -c quillfen-remove -s 0 -l print0 -d 'Print only the removed paths, each followed by a NUL'
complete -c quillfen-remove -s j -l json -d 'Print the reply as JSON instead of a summary'
complete -c quillfen-remove -s q -l quiet -d 'Show no progress line on a terminal'
