// A small built-in pronouncing dictionary, so that the playground speaks
// common words without loading one: entries of the CMU Pronouncing
// Dictionary as Debian's pocketsphinx-en-us ships it, with the stress the
// speech library inferred for them (that copy has none), "understand" with
// the stress of the CMU dictionary's own release (the library's stress rule
// puts it on the first syllable), and "tractwave". Any other word is read by
// the library's letter-to-sound rule; a dictionary loaded on the page comes
// first.
export const BUILTIN_WORDS = `zero Z IH1 R OW0
one W AH1 N
two T UW1
three TH R IY1
four F AO1 R
five F AY1 V
six S IH1 K S
seven S EH1 V AH0 N
eight EY1 T
nine N AY1 N
ten T EH1 N
eleven IH1 L EH0 V AH0 N
twelve T W EH1 L V
hundred HH AH0 N D R AH1 D
thousand TH AW1 Z AH0 N D
heed HH IY1 D
hid HH IH1 D
head HH EH1 D
had HH AE1 D
hood HH UH1 D
hud HH AH1 D
heard HH ER1 D
who'd HH UW1 D
hello HH AH0 L OW1
hi HH AY1
world W ER1 L D
yes Y EH1 S
no N OW1
please P L IY1 Z
thank TH AE1 NG K
thanks TH AE1 NG K S
you Y UW1
sorry S AA1 R IY0
welcome W EH1 L K AH0 M
goodbye G UH1 D B AY0
bye B AY1
good G UH1 D
morning M AO1 R N IH0 NG
evening IY1 V N IH0 NG
night N AY1 T
day D EY1
i AY1
me M IY1
my M AY1
we W IY1
us AH1 S
our AW1 ER0
he HH IY1
she SH IY1
it IH1 T
they DH EY1
them DH EH1 M
his HH IH1 Z
her HH ER1
this DH IH1 S
that DH AE1 T
these DH IY1 Z
those DH OW1 Z
here HH IY1 R
there DH EH1 R
what W AH1 T
where W EH1 R
when W EH1 N
why W AY1
who HH UW1
how HH AW1
which W IH1 CH
a AH1
an AE1 N
the DH AH1
of AH1 V
to T UW1
and AH1 N D
or AO1 R
but B AH1 T
if IH1 F
in IH1 N
on AA1 N
at AE1 T
for F AO1 R
with W IH1 DH
from F R AH1 M
by B AY1
up AH1 P
down D AW1 N
out AW1 T
over OW1 V ER0
under AH0 N D ER1
about AH0 B AW1 T
into IH1 N T UW0
not N AA1 T
all AO1 L
some S AH1 M
many M EH1 N IY0
more M AO1 R
most M OW1 S T
is IH1 Z
am AE1 M
are AA1 R
was W AA1 Z
were W ER1
be B IY1
been B IH1 N
being B IY1 IH0 NG
have HH AE1 V
has HH AE1 Z
do D UW1
does D AH1 Z
did D IH1 D
can K AE1 N
could K UH1 D
will W IH1 L
would W UH1 D
shall SH AE1 L
should SH UH1 D
may M EY1
might M AY1 T
must M AH1 S T
say S EY1
said S EH1 D
speak S P IY1 K
speaking S P IY1 K IH0 NG
talk T AO1 K
talking T AO1 K IH0 NG
tell T EH1 L
hear HH IY1 R
listen L IH1 S AH0 N
see S IY1
look L UH1 K
make M EY1 K
made M EY1 D
go G OW1
going G OW1 IH0 NG
come K AH1 M
came K EY1 M
know N OW1
think TH IH1 NG K
want W AA1 N T
need N IY1 D
like L AY1 K
love L AH1 V
time T AY1 M
year Y IH1 R
people P IY1 P AH0 L
way W EY1
man M AE1 N
woman W UH1 M AH0 N
child CH AY1 L D
children CH IH1 L D R AH0 N
voice V OY1 S
word W ER1 D
words W ER1 D Z
sound S AW1 N D
sounds S AW1 N D Z
music M Y UW1 Z IH0 K
song S AO1 NG
sing S IH1 NG
name N EY1 M
your Y AO1 R
tract T R AE1 K T
vocal V OW1 K AH0 L
mouth M AW1 TH
tongue T AH1 NG
lips L IH1 P S
nose N OW1 Z
throat TH R OW1 T
breath B R EH1 TH
air EH1 R
big B IH1 G
small S M AO1 L
long L AO1 NG
short SH AO1 R T
high HH AY1
low L OW1
loud L AW1 D
quiet K W AY1 AH0 T
fast F AE1 S T
slow S L OW1
new N UW1
old OW1 L D
first F ER1 S T
last L AE1 S T
next N EH1 K S T
red R EH1 D
green G R IY1 N
blue B L UW1
black B L AE1 K
white W AY1 T
computer K AH0 M P Y UW1 T ER0
machine M AH0 SH IY1 N
robot R OW1 B AA0 T
speech S P IY1 CH
synthesizer S IH1 N TH AH0 S AY0 Z ER0
playground P L EY1 G R AW0 N D
browser B R AW1 Z ER0
page P EY1 JH
test T EH1 S T
testing T EH1 S T IH0 NG
again AH0 G EH1 N
now N AW1
then DH EH1 N
today T AH0 D EY1
tomorrow T AH0 M AA1 R OW0
tractwave T R AE1 K T W EY2 V
understand AH2 N D ER0 S T AE1 N D
`;
