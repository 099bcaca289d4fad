package Brindlecove::ProcessPool;

use strict;
use warnings;

our $VERSION = '1.00';

require XSLoader;
XSLoader::load(__PACKAGE__, $VERSION);

1;
__END__

=head1 NAME

Brindlecove::ProcessPool - a fixed-size pool of long-running worker processes

=cut
