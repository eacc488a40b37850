"""Per-language character profiles and the common CJK character set.

Provisional data: hand-written letter orders, most frequent first, to be
replaced by profiles measured on real text.
"""

FREQUENCIES: dict[str, str] = {
    'English': 'etaoinshrdlcumwfgypbvkjxqz',
    'German': 'enisratdhulcgmobwfkzpvüäößjyxq',
    'French': 'esaitnrulodcpmévqfbghjàxyèêzçôùâûîœïëüw',
    'Dutch': 'enatirodslgvhkmubpwjczfxyéëqèöï',
    'Italian': 'eaionltrscdupmvghfbqzòàùìéèóywkjx',
    'Polish': 'aioezwnrcysmkdtpuljłbgęąhóżśćfńźvqx',
    'Spanish': 'eaosrnidlctumpbgvyqóhfíjzéáñxúüwk',
    'Russian': 'оеаинтсрвлкмдпуяызьгбчйхжшюцщэфъё',
    'Japanese': 'のいしてにかうるとたんはなきでがっくれらすもこおりをさつあまけせょだじ一人日大年出本中会事ーンスルトイクラリタドロシカ国上自分生行時見者二十前私気手',
    'Portuguese': 'aeosrinmdtcuplvgãqfçéhbázêjíóxõúâôàwky',
    'Swedish': 'eantrsildomkgväfhupåöbcyjxwzq',
    'Chinese': '的一是不了在人有我他这个们中来上大为和国地到以说时要就出会可也你对生能而子那得于着下自之年过发后作里用道行所然家种事成方多经么去法学如都同现当没动面起看定天分还进好小部其些主样理心她本前开但因只从想实日军者意无力它与长把机十民第公此已工使情明性知全三又关点正业外将两高间由问很最重并物手应战向头文体政美相见被利什二等产或新己制身果加西斯月话合回特代内信表化老给世位次度门任常先海通教儿原东声提立及比员解水名真论处走义各入几口认条平系气题活尔更别打女变四神总何电数安少报才结反受目太量再感建务做接必场件计管期市直',
    'Ukrainian': 'оаніиевтрслкдмпуязьбгчйхжцшюєїщфґ',
    'Norwegian': 'ertnsilakodgmvfupbhåøjyæcwzxq',
    'Finnish': 'aitneslokuämvrjhypdögbfcwzxq',
    'Vietnamese': 'nhticagmuoyđưàvơbạlếpkảệộớrsáìqóờốểềụdãêầâịọủậồắăeởxúợíổòéự',
    'Czech': 'oeantvsilrkdpímuázjyěcbéhřýčšůžgfúňxťóďwq',
    'Hungarian': 'eatlnskomzrigáéydbvhjfupöócíúüőűx',
    'Korean': '이다는의에하고기가지을서로리사자대한를도인어나시아수정게요보부전일니해것주상라적스들무그우내제중만마조장신면동성',
    'Indonesian': 'aneiktrsudmglhpbyojcfwvzxq',
    'Turkish': 'aeinrlıdkmuytsbozşüçgğhvcöpfjwxq',
    'Romanian': 'eiartnuclosădpmîșfvțbgâzhjkxyw',
    'Persian': 'اینرهدمتوبلسکشزفگعخقجآپحطصچذظغضثژئ',
    'Arabic': 'الينمورتهبعدفكسقجحشةإطصىأخزذضثغظئءآؤ',
    'Danish': 'erntdsilagokmvfubhpæøjyåcwzxq',
    'Serbian': 'аиоентрсјвлкдумпзгбчшћцхжђљњфџ',
    'Lithuanian': 'iasetkuonrlmdvpjgėšbyžąųūįzcčęfh',
    'Slovene': 'eaiontrslvjkdpmzučbgšhcžf',
    'Slovak': 'aoeinvtrslkmdpujzyáíbcčéhžšľýôťgfňúäďxw',
    'Hebrew': 'יוהלארבתמשנעםדקכחפסןגצטזךףץ',
    'Bulgarian': 'аоиентрсвлкдпмзгяъбчуйхжшцщфюь',
    'Croatian': 'aioenjrtsuklvdmpzgbčcšhžćfđ',
    'Hindi': 'कर्ाेहीनसमलतंयिपदोगबजवौअूटएआुचडथइउखभशछधठघफषणढझञऊईऐओऋ',
    'Estonian': 'aeistlunkomdrvgjhpäbõüöfczšž',
    'Thai': 'านรอกเมงยลวดิทสตะไบหคัีพ่้ขจุปูโชแำซึผถฟืศฉณฝษธฐญภฆฌฑฒฮฎฏ',
    'Greek': 'ατοενισρυκμπληάγδέςθίόχύφωβώήξζψ',
    'Tamil': 'க்ாிபதனவமலருயடைறசெளணோொஞீழஙூஷஜஸஹஃ',
    'Catalan': 'eastirnolcdumpvgqfbhéjxàòyíóúçïüz',
    'Latvian': 'asieturnkolmdpvjzāīēgbšcūļņķžčfh',
    'Macedonian': 'аоеинтрсвдклпмзјуѓбгчњцшжхќфѕџљ',
    'Bengali': '্রকানেিতবলসমযদপোহীজশগটুইএচথভখওআণষঞধঙঘছঠঝঢফউৃড়ৌঅূঃৈ',
}

#: Ideographs frequent in everyday Chinese and Japanese text.
COMMON_CJK_CHARACTERS: frozenset[str] = frozenset(
    '一三上下不与世业东两个中为主么义之也了事二于些产人什从他代以们件任会但位体何作你使信做儿先入全公关其内再军几出分利别到制'
    '前力加务动化十原去又及反发受变口只可各合同名后向员和四回因国在地场声处外多大天太头女她好如子学它安定实家对将小少尔就工己'
    '已市常平年并应度建开当很得心必性总情想意感成我或战所手才打把报接提政教数文斯新方无日时明是時更最月有期本机条来果样次正此'
    '比民气気水没法活海点然物特现理生用由电的目直相看真着知神私种立第等管系经结给美老者而能自行表被西要見见解计认论话说走起身'
    '过还这进通道那部都里重量长门问间面题高'
)
