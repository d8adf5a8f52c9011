# The installed programs of the suite, for the shell tests that check
# every one of them (manual pages, installation, the Debian package).
PROGRAMS="velktool5 velktoolcli-zip2coord velktoolcli-genposxml velktoolcli-validtf
 velktoolcli-validxml velktoolcli-flt2multiwav velktoolcli-genconfig velktoolcli-genneighbors
 velktoolcli-mergexmls velktoolcli-conv-tf velktoolcli-conv-sm
 velktoolcli-diagnose velktoolcli-tfexport velktoolcli-sofa2tf velktoolcli-simulate"
