// Sub-commands of teliox-cli; each returns the process exit status.
#pragma once

int CmdScan(int argc, char** argv);    // teliox-cli scan [--json | --csv] [--seconds N] [--watch N]
int CmdSetIp(int argc, char** argv);   // teliox-cli set-ip CAMERA --dhcp | --static A/M [--gateway G]
int CmdAssign(int argc, char** argv); // teliox-cli assign --from A/M [--gateway G] | --dhcp [--dry-run] CAMERA... | --all
int CmdCert(int argc, char** argv);    // teliox-cli cert generate [--yes] | fetch CAMERA | upload CAMERA
