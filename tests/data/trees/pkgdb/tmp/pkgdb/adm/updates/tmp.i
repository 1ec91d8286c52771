Package: alpha
Status: purge ok not-installed
Maintainer: m
Description: d
Version: 1
Architecture: amd64

