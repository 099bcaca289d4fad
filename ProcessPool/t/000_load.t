use strict;
use warnings;
use Test::More;

use_ok('Brindlecove::ProcessPool');
is($Brindlecove::ProcessPool::VERSION, '1.00', 'version');
for my $name (qw(new _free slots stop start_long inc wfd used pid efd rfd
                 rfds efds wfds writefd readfd encode_kv decode_kv)) {
    ok(defined &{"Brindlecove::ProcessPool::$name"}, "$name registered");
    is(prototype("Brindlecove::ProcessPool::$name"), undef, "$name has no prototype");
}
done_testing;
