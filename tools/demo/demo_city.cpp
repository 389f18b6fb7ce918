#include "tools/demo/demo_city.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "tabula/locale.h"

namespace demo {

namespace {

using tabula::Utf8ToCp1251;
using TWords = std::vector<std::string>;

TWords ToCp1251(std::initializer_list<std::string_view> words) {
  TWords out;
  out.reserve(words.size());
  for (std::string_view w : words) out.push_back(Utf8ToCp1251(w));
  return out;
}

// Street names in the genitive: after "УЛ.", "ПЕР.", "ПРОЕЗД" and the like.
const TWords& GenitiveNames() {
  static const TWords words = ToCp1251({
      "ЛЕНИНА", "ГАГАРИНА", "ПУШКИНА", "ЛЕРМОНТОВА", "ГОГОЛЯ", "ЧЕХОВА", "ТОЛСТОГО", "ГОРЬКОГО", "КИРОВА",
      "ЧКАЛОВА", "ФРУНЗЕ", "КУЙБЫШЕВА", "СВЕРДЛОВА", "ДЗЕРЖИНСКОГО", "КАЛИНИНА", "ЖУКОВА", "СУВОРОВА",
      "КУТУЗОВА", "ЛОМОНОСОВА", "МЕНДЕЛЕЕВА", "ПАВЛОВА", "ЦИОЛКОВСКОГО", "КОРОЛЁВА", "ТИТОВА", "ТЕРЕШКОВОЙ",
      "МАЯКОВСКОГО", "ЕСЕНИНА", "БЛОКА", "НЕКРАСОВА", "КРЫЛОВА", "ТУРГЕНЕВА", "ДОСТОЕВСКОГО", "ШОЛОХОВА",
      "ГЕРЦЕНА", "БЕЛИНСКОГО", "ЧЕРНЫШЕВСКОГО", "ДОБРОЛЮБОВА", "РАДИЩЕВА", "ГРИБОЕДОВА", "ЖУКОВСКОГО",
      "КОЛЬЦОВА", "НИКИТИНА", "ГЛИНКИ", "ЧАЙКОВСКОГО", "РИМСКОГО-КОРСАКОВА", "МУСОРГСКОГО", "РЕПИНА",
      "СУРИКОВА", "ШИШКИНА", "ЛЕВИТАНА", "ВАСНЕЦОВА", "АЙВАЗОВСКОГО", "МИЧУРИНА", "ТИМИРЯЗЕВА", "ПОПОВА",
      "ЯБЛОЧКОВА", "ПОЛЗУНОВА", "КУЛИБИНА", "СТЕПАНА РАЗИНА", "МИНИНА", "ПОЖАРСКОГО", "НАХИМОВА", "УШАКОВА",
      "МАКАРОВА", "БАГРАТИОНА", "ДЕНИСА ДАВЫДОВА", "ЧАПАЕВА", "ЩОРСА", "БУДЁННОГО", "ВОРОШИЛОВА",
      "ОРДЖОНИКИДЗЕ", "КАРЛА МАРКСА", "ЭНГЕЛЬСА", "КАРЛА ЛИБКНЕХТА", "РОЗЫ ЛЮКСЕМБУРГ", "КЛАРЫ ЦЕТКИН",
      "МАТРОСОВА", "ОЛЕГА КОШЕВОГО", "ЗОИ КОСМОДЕМЬЯНСКОЙ", "ПАНФИЛОВА", "КАРБЫШЕВА", "ВАТУТИНА", "КОНЕВА",
      "РОКОССОВСКОГО", "ШЕВЧЕНКО", "КОТОВСКОГО", "ЛАЗО", "БАУМАНА", "УРИЦКОГО", "ВОЛОДАРСКОГО", "ПЛЕХАНОВА",
      "НОГИНА", "КРАСИНА", "ЖЕЛЯБОВА", "ПЕРОВСКОЙ", "ХАЛТУРИНА", "ОСТРОВСКОГО", "ФАДЕЕВА", "ФУРМАНОВА",
      "СЕРАФИМОВИЧА", "ГАЙДАРА", "МАРШАКА", "ЧУКОВСКОГО", "ПРИШВИНА", "ПАУСТОВСКОГО", "БАЖОВА", "КОРОЛЕНКО",
      "КУПРИНА", "БУНИНА", "ЦВЕТАЕВОЙ", "АХМАТОВОЙ", "ТВАРДОВСКОГО", "ШУКШИНА", "ГЕРОЕВ", "СТРОИТЕЛЕЙ",
      "ЭНТУЗИАСТОВ", "КОСМОНАВТОВ", "ЛЁТЧИКОВ", "МАШИНОСТРОИТЕЛЕЙ", "ЖЕЛЕЗНОДОРОЖНИКОВ", "МЕТАЛЛУРГОВ",
      "ЮННАТОВ", "ПИОНЕРОВ", "ПАРТИЗАН", "ДЕКАБРИСТОВ", "ПАРИЖСКОЙ КОММУНЫ", "МИРА", "ПОБЕДЫ", "ДРУЖБЫ",
      "СВОБОДЫ", "КОНСТИТУЦИИ", "РЕВОЛЮЦИИ", "8 МАРТА", "1 МАЯ", "9 ЯНВАРЯ", "50 ЛЕТ ОКТЯБРЯ",
      "40 ЛЕТ ПОБЕДЫ", "КОМИНТЕРНА", "КОМСОМОЛА", "ИНТЕРНАЦИОНАЛА", "ВАВИЛОВА", "КОВАЛЕВСКОЙ", "ПИРОГОВА",
      "СЕЧЕНОВА", "БОТКИНА", "ЛОБАЧЕВСКОГО", "КУРЧАТОВА", "ВОЛКОВА", "ДОБРЫНИНА", "СТАХАНОВА",
      "ЧЕЛЮСКИНЦЕВ", "ПАПАНИНА", "ДЕЖНЁВА", "БЕРИНГА", "ХАБАРОВА", "ЕРМАКА", "ПРЖЕВАЛЬСКОГО", "МИКЛУХО-МАКЛАЯ",
      "ГЕНЕРАЛА ДОВАТОРА", "МАРШАЛА ЖУКОВА", "АДМИРАЛА МАКАРОВА", "ВЕТЕРАНОВ", "ТКАЧЕЙ", "ХЛЕБОРОБОВ",
      "ШАХТЁРОВ", "ЭНЕРГЕТИКОВ", "ЧЕРНЯХОВСКОГО", "ГОВОРОВА", "МАЛИНОВСКОГО", "ТОЛБУХИНА", "ЕРЕМЕНКО",
  });
  return words;
}

// Adjectives that agree with "УЛИЦА".
const TWords& FeminineNames() {
  static const TWords words = ToCp1251({
      "САДОВАЯ", "ЛЕСНАЯ", "ПОЛЕВАЯ", "ШКОЛЬНАЯ", "СОВЕТСКАЯ", "ОКТЯБРЬСКАЯ", "ПЕРВОМАЙСКАЯ", "КОММУНИСТИЧЕСКАЯ",
      "КОМСОМОЛЬСКАЯ", "ПИОНЕРСКАЯ", "МОЛОДЁЖНАЯ", "ЦЕНТРАЛЬНАЯ", "НАБЕРЕЖНАЯ", "ЗАВОДСКАЯ", "ФАБРИЧНАЯ",
      "ЖЕЛЕЗНОДОРОЖНАЯ", "ВОКЗАЛЬНАЯ", "ПРИВОКЗАЛЬНАЯ", "РЕЧНАЯ", "ОЗЁРНАЯ", "ЗЕЛЁНАЯ", "СОЛНЕЧНАЯ", "ЮЖНАЯ",
      "СЕВЕРНАЯ", "ВОСТОЧНАЯ", "ЗАПАДНАЯ", "НОВАЯ", "СТАРАЯ", "НАГОРНАЯ", "ПОДГОРНАЯ", "ЛУГОВАЯ", "ПОЧТОВАЯ",
      "ТОРГОВАЯ", "РЫНОЧНАЯ", "БАЗАРНАЯ", "СОБОРНАЯ", "ДВОРЯНСКАЯ", "КУПЕЧЕСКАЯ", "МЕЩАНСКАЯ", "КУЗНЕЧНАЯ",
      "ГОНЧАРНАЯ", "КИРПИЧНАЯ", "МЕЛЬНИЧНАЯ", "СТРОИТЕЛЬНАЯ", "ТРАНСПОРТНАЯ", "ЭНЕРГЕТИЧЕСКАЯ", "ПРОМЫШЛЕННАЯ",
      "ИНДУСТРИАЛЬНАЯ", "СПОРТИВНАЯ", "СТАДИОННАЯ", "ПАРКОВАЯ", "ТЕАТРАЛЬНАЯ", "БОЛЬНИЧНАЯ", "ГОСПИТАЛЬНАЯ",
      "КАЗАРМЕННАЯ", "ВОЕННАЯ", "КРАСНОАРМЕЙСКАЯ", "КРАСНОФЛОТСКАЯ", "ПРОЛЕТАРСКАЯ", "КРЕСТЬЯНСКАЯ",
      "КОЛХОЗНАЯ", "СОВХОЗНАЯ", "ТРУДОВАЯ", "РАБОЧАЯ", "МИРНАЯ", "ТИХАЯ", "ЗВЁЗДНАЯ", "КОСМИЧЕСКАЯ",
      "МОСКОВСКАЯ", "ЛЕНИНГРАДСКАЯ", "КИЕВСКАЯ", "МИНСКАЯ", "ТУЛЬСКАЯ", "ОРЛОВСКАЯ", "КУРСКАЯ", "РЯЗАНСКАЯ",
      "СМОЛЕНСКАЯ", "ВОРОНЕЖСКАЯ", "САРАТОВСКАЯ", "ВОЛЖСКАЯ", "ДОНСКАЯ", "УРАЛЬСКАЯ", "СИБИРСКАЯ", "БАЙКАЛЬСКАЯ",
      "АМУРСКАЯ", "КАВКАЗСКАЯ", "КРЫМСКАЯ", "ОДЕССКАЯ", "ТВЕРСКАЯ", "ЯРОСЛАВСКАЯ", "КОСТРОМСКАЯ", "ВЛАДИМИРСКАЯ",
      "НОВГОРОДСКАЯ", "ПСКОВСКАЯ", "КАЛУЖСКАЯ", "БРЯНСКАЯ", "ТАМБОВСКАЯ", "ПЕНЗЕНСКАЯ", "АСТРАХАНСКАЯ",
      "БОРВИНСКАЯ", "ЗАРЕЧНАЯ", "ЗАОВРАЖНАЯ", "ЗАПРУДНАЯ", "ПРИГОРОДНАЯ", "ПОЛЯРНАЯ", "ТАЁЖНАЯ", "СТЕПНАЯ",
      "БЕРЁЗОВАЯ", "ДУБОВАЯ", "ЛИПОВАЯ", "КЛЕНОВАЯ", "ТОПОЛИНАЯ", "РЯБИНОВАЯ", "ВИШНЁВАЯ", "ЯБЛОНЕВАЯ",
      "СИРЕНЕВАЯ", "ЖАСМИНОВАЯ", "ЦВЕТОЧНАЯ", "ВЕСЕННЯЯ", "ЛЕТНЯЯ", "ОСЕННЯЯ", "ЗИМНЯЯ", "ВЕРХНЯЯ", "НИЖНЯЯ",
      "СРЕДНЯЯ", "ДАЛЬНЯЯ", "БЛИЖНЯЯ", "КРАЙНЯЯ", "КРУТАЯ", "ПОЛОГАЯ", "ШИРОКАЯ", "УЗКАЯ", "ДЛИННАЯ",
      "КОРОТКАЯ", "КРИВАЯ", "ПРЯМАЯ", "КРАСНАЯ", "БЕЛАЯ", "ЗОЛОТАЯ", "СЕРЕБРЯНАЯ", "ХРУСТАЛЬНАЯ", "ГРАНИТНАЯ",
      "КАМЕННАЯ", "ПЕСЧАНАЯ", "ГЛИНЯНАЯ", "ТОРФЯНАЯ", "ШАХТНАЯ", "РУДНИЧНАЯ", "ЛИТЕЙНАЯ", "МЕХАНИЧЕСКАЯ",
      "ТЕХНИЧЕСКАЯ", "СТУДЕНЧЕСКАЯ", "УНИВЕРСИТЕТСКАЯ", "ИНСТИТУТСКАЯ", "АКАДЕМИЧЕСКАЯ", "ЛАБОРАТОРНАЯ",
      "АЭРОДРОМНАЯ", "АВИАЦИОННАЯ", "ПРИСТАНСКАЯ", "ПОРТОВАЯ", "ЛОДОЧНАЯ", "РЫБАЦКАЯ", "ОХОТНИЧЬЯ",
  });
  return words;
}

// Adjectives that agree with "ПЕРЕУЛОК", "ПРОЕЗД", "ТУПИК".
const TWords& MasculineNames() {
  static const TWords words = ToCp1251({
      "САДОВЫЙ", "ЛЕСНОЙ", "ПОЛЕВОЙ", "ШКОЛЬНЫЙ", "СОВЕТСКИЙ", "ОКТЯБРЬСКИЙ", "ПЕРВОМАЙСКИЙ", "ПИОНЕРСКИЙ",
      "МОЛОДЁЖНЫЙ", "ЦЕНТРАЛЬНЫЙ", "ЗАВОДСКОЙ", "ФАБРИЧНЫЙ", "ВОКЗАЛЬНЫЙ", "РЕЧНОЙ", "ОЗЁРНЫЙ", "ЗЕЛЁНЫЙ",
      "СОЛНЕЧНЫЙ", "ЮЖНЫЙ", "СЕВЕРНЫЙ", "ВОСТОЧНЫЙ", "ЗАПАДНЫЙ", "НОВЫЙ", "СТАРЫЙ", "НАГОРНЫЙ", "ЛУГОВОЙ",
      "ПОЧТОВЫЙ", "ТОРГОВЫЙ", "РЫНОЧНЫЙ", "СОБОРНЫЙ", "КУЗНЕЧНЫЙ", "ГОНЧАРНЫЙ", "КИРПИЧНЫЙ", "МЕЛЬНИЧНЫЙ",
      "СТРОИТЕЛЬНЫЙ", "СПОРТИВНЫЙ", "ПАРКОВЫЙ", "ТЕАТРАЛЬНЫЙ", "БОЛЬНИЧНЫЙ", "ВОЕННЫЙ", "КРАСНОАРМЕЙСКИЙ",
      "КОЛХОЗНЫЙ", "ТРУДОВОЙ", "РАБОЧИЙ", "МИРНЫЙ", "ТИХИЙ", "ЗВЁЗДНЫЙ", "МОСКОВСКИЙ", "КИЕВСКИЙ", "ТУЛЬСКИЙ",
      "ВОЛЖСКИЙ", "ДОНСКОЙ", "УРАЛЬСКИЙ", "БЕРЁЗОВЫЙ", "ДУБОВЫЙ", "ЛИПОВЫЙ", "КЛЕНОВЫЙ", "ТОПОЛИНЫЙ",
      "РЯБИНОВЫЙ", "ВИШНЁВЫЙ", "СИРЕНЕВЫЙ", "ЦВЕТОЧНЫЙ", "ВЕСЕННИЙ", "ЛЕТНИЙ", "ОСЕННИЙ", "ВЕРХНИЙ", "НИЖНИЙ",
      "ДАЛЬНИЙ", "КРАЙНИЙ", "КРУТОЙ", "ШИРОКИЙ", "УЗКИЙ", "КРИВОЙ", "ПРЯМОЙ", "КРАСНЫЙ", "КАМЕННЫЙ", "ПЕСЧАНЫЙ",
      "ЛИТЕЙНЫЙ", "СТУДЕНЧЕСКИЙ", "ПОРТОВЫЙ", "РЫБАЦКИЙ", "ОВРАЖНЫЙ", "ТУПИКОВЫЙ", "ДОРОЖНЫЙ", "МОСТОВОЙ",
  });
  return words;
}

// Names that stand without a street type, and the few neuter or
// differently built ones.
const TWords& PlainNames() {
  static const TWords words = ToCp1251({
      "НАБЕРЕЖНАЯ", "ПРИВОКЗАЛЬНАЯ ПЛ.", "ТЕАТРАЛЬНАЯ ПЛ.", "СОБОРНАЯ ПЛ.", "РЫНОЧНАЯ ПЛ.", "МОСКОВСКОЕ ШОССЕ",
      "ВОРОНЕЖСКОЕ ШОССЕ", "ОКРУЖНОЕ ШОССЕ", "ЗАВОДСКОЕ ШОССЕ", "МКР. СЕВЕРНЫЙ", "МКР. ЮЖНЫЙ", "МКР. ЗАРЕЧНЫЙ",
      "МКР. СОСНОВЫЙ БОР", "МКР. ЗЕЛЁНАЯ РОЩА", "МКР. ЭНЕРГЕТИК", "ПОС. ЗАВОДСКОЙ", "ПОС. ЛЕСНОЙ",
      "ПОС. КИРПИЧНОГО ЗАВОДА", "СТАНЦИЯ БОРВИНО-2", "ГОРОДОК НЕФТЯНИКОВ", "ВОЕННЫЙ ГОРОДОК", "КВАРТАЛ 15",
      "КВАРТАЛ 27", "СТАРЫЙ ВАЛ", "ЗАВАЛЬНАЯ СЛОБОДА", "ЯМСКАЯ СЛОБОДА", "КРЕПОСТНОЙ ВАЛ", "БОРВИНСКИЙ ТРАКТ",
  });
  return words;
}

const TWords& Surnames() {
  static const TWords words = ToCp1251({
      "ИВАНОВ", "СМИРНОВ", "КУЗНЕЦОВ", "ПОПОВ", "ВАСИЛЬЕВ", "ПЕТРОВ", "СОКОЛОВ", "МИХАЙЛОВ", "НОВИКОВ",
      "ФЁДОРОВ", "МОРОЗОВ", "ВОЛКОВ", "АЛЕКСЕЕВ", "ЛЕБЕДЕВ", "СЕМЁНОВ", "ЕГОРОВ", "ПАВЛОВ", "КОЗЛОВ",
      "СТЕПАНОВ", "НИКОЛАЕВ", "ОРЛОВ", "АНДРЕЕВ", "МАКАРОВ", "НИКИТИН", "ЗАХАРОВ", "ЗАЙЦЕВ", "СОЛОВЬЁВ",
      "БОРИСОВ", "ЯКОВЛЕВ", "ГРИГОРЬЕВ", "РОМАНОВ", "ВОРОБЬЁВ", "СЕРГЕЕВ", "КУЗЬМИН", "ФРОЛОВ", "АЛЕКСАНДРОВ",
      "ДМИТРИЕВ", "КОРОЛЁВ", "ГУСЕВ", "КИСЕЛЁВ", "ИЛЬИН", "МАКСИМОВ", "ПОЛЯКОВ", "СОРОКИН", "ВИНОГРАДОВ",
      "КОВАЛЁВ", "БЕЛОВ", "МЕДВЕДЕВ", "АНТОНОВ", "ТАРАСОВ", "ЖУКОВ", "БАРАНОВ", "ФИЛИППОВ", "КОМАРОВ",
      "ДАВЫДОВ", "БЕЛЯЕВ", "ГЕРАСИМОВ", "БОГДАНОВ", "ОСИПОВ", "СИДОРОВ", "МАТВЕЕВ", "ТИТОВ", "МАРКОВ",
      "МИРОНОВ", "КРЫЛОВ", "КУЛИКОВ", "КАРПОВ", "ВЛАСОВ", "МЕЛЬНИКОВ", "ДЕНИСОВ", "ГАВРИЛОВ", "ТИХОНОВ",
      "КАЗАКОВ", "АФАНАСЬЕВ", "ДАНИЛОВ", "САВЕЛЬЕВ", "ТИМОФЕЕВ", "ФОМИН", "ЧЕРНОВ", "АБРАМОВ", "МАРТЫНОВ",
      "ЕФИМОВ", "ФЕДОТОВ", "ЩЕРБАКОВ", "НАЗАРОВ", "КАЛИНИН", "ИСАЕВ", "ЧЕРНЫШЁВ", "БЫКОВ", "МАСЛОВ",
      "РОДИОНОВ", "КОНОВАЛОВ", "ЛАЗАРЕВ", "ВОРОНИН", "КЛИМОВ", "ФИЛАТОВ", "ПОНОМАРЁВ", "ГОЛУБЕВ", "КУДРЯВЦЕВ",
      "ПРОХОРОВ", "НАУМОВ", "ПОТАПОВ", "ЖУРАВЛЁВ", "ОВЧИННИКОВ", "ТРОФИМОВ", "ЛЕОНОВ", "СОБОЛЕВ", "ЕРМАКОВ",
      "КОЛЕСНИКОВ", "ГОНЧАРОВ", "ЕМЕЛЬЯНОВ", "НИКИФОРОВ", "ГРАЧЁВ", "КОТОВ", "ГРИШИН", "ЕФРЕМОВ", "АРХИПОВ",
      "ГРОМОВ", "КИРИЛЛОВ", "МАЛЫШЕВ", "ПАНОВ", "МОИСЕЕВ", "РУМЯНЦЕВ", "АКИМОВ", "КОНДРАТЬЕВ", "БИРЮКОВ",
      "ГОРБУНОВ", "АНИСИМОВ", "ЕРЁМИН", "ТИХОМИРОВ", "ГАЛКИН", "ЛУКЬЯНОВ", "МИХЕЕВ", "СКВОРЦОВ", "ЮДИН",
      "БЕЛОУСОВ", "НЕСТЕРОВ", "СИМОНОВ", "ПРОКОФЬЕВ", "ХАРИТОНОВ", "КНЯЗЕВ", "ЦВЕТКОВ", "ЛЕВИН", "МИТРОФАНОВ",
      "ВОРОНОВ", "АКСЁНОВ", "СОФРОНОВ", "МАЛЬЦЕВ", "ЛОГИНОВ", "ГОРШКОВ", "САВИН", "КРАСНОВ", "МАЙОРОВ",
      "ДЕМИДОВ", "ЕЛИСЕЕВ", "РЫБАКОВ", "САФОНОВ", "ПЛОТНИКОВ", "ДЕМЕНТЬЕВ", "КУЗНЕЦКИЙ", "ВИШНЕВСКИЙ",
      "ЗАВАДСКИЙ", "ЯБЛОНСКИЙ", "ПОКРОВСКИЙ", "ВОЗНЕСЕНСКИЙ", "КАМЕНСКИЙ", "ДУБРОВСКИЙ", "ТРУБЕЦКОЙ",
      "ЛУГОВСКОЙ", "ТОЛСТОЙ", "БЕЛЫЙ", "ЧЁРНЫЙ", "РЫЖИЙ", "ШЕВЧЕНКО", "КОВАЛЕНКО", "БОНДАРЕНКО", "ТКАЧЕНКО",
      "КРАВЧЕНКО", "ЛИТВИНЕНКО", "МОРОЗ", "КОВАЛЬ", "ГАЙДАЙ", "ЛЫСЕНКО", "ПЕТРЕНКО", "САВЧЕНКО", "РУДЕНКО",
      "МЕЛЬНИК", "ШВЕЦ", "КОЗАК", "ГРИЦАЙ", "ЛИСИЦЫН", "СИНИЦЫН", "ВЕРТИНСКИЙ", "ОСТРОВСКИЙ", "БОРОДИН",
      "ЧАЙКИН", "МУХИН", "ЗИМИН", "ЛАПИН", "ЖДАНОВ", "ГУРЬЕВ", "СУХАНОВ", "ШИЛОВ", "БЫСТРОВ", "ДОРОФЕЕВ",
  });
  return words;
}

// Initials weighted by how common the names behind them are.
const std::string& MaleInitials() {
  static const std::string letters = Utf8ToCp1251("АААААААБВВВВВВВГГГДДЕЕИИИКЛМММННННОППРССССТФЮЮЯ");
  return letters;
}
const std::string& FemaleInitials() {
  static const std::string letters = Utf8ToCp1251("АААААВВВВГГГЕЕЕЗЗИИЛЛЛЛМММНННННОООРССССТТТЮЯ");
  return letters;
}

// The feminine form of a surname: -ОВ/-ЕВ/-ИН add А, -СКИЙ/-ЦКИЙ/-ОЙ/-ЫЙ/-ИЙ
// become -АЯ; the rest (-ЕНКО, -ЕЦ, -АЙ and the like) stay as they are.
std::string FeminineSurname(const std::string& male) {
  static const TWords addA = ToCp1251({"ОВ", "ЕВ", "ЁВ", "ИН", "ЫН"});
  static const TWords adjective = ToCp1251({"ИЙ", "ОЙ", "ЫЙ"});
  static const std::string aya = Utf8ToCp1251("АЯ");
  static const std::string a = Utf8ToCp1251("А");
  auto endsWith = [&](const std::string& end) {
    return male.size() >= end.size() && male.compare(male.size() - end.size(), end.size(), end) == 0;
  };
  for (const std::string& end : addA)
    if (endsWith(end)) return male + a;
  for (const std::string& end : adjective)
    if (endsWith(end)) return male.substr(0, male.size() - 2) + aya;
  return male;
}

struct TNumbered {
  std::string_view Name;
  int Count;
};

const std::vector<std::pair<std::string, int>>& NumberedInstitutions() {
  static const std::vector<std::pair<std::string, int>> list = [] {
    const TNumbered raw[] = {
        {"ШКОЛА №", 45},          {"ДЕТСКИЙ САД №", 70},    {"АПТЕКА №", 30},         {"ПОЛИКЛИНИКА №", 8},
        {"БИБЛИОТЕКА №", 15},     {"ОТДЕЛЕНИЕ СВЯЗИ №", 25}, {"СБЕРКАССА №", 20},      {"ЖЭУ №", 30},
        {"МАГАЗИН №", 90},        {"ГОРБОЛЬНИЦА №", 5},     {"ПТУ №", 12},            {"ПОЖАРНАЯ ЧАСТЬ №", 6},
        {"ПАРИКМАХЕРСКАЯ №", 20}, {"СТОЛОВАЯ №", 25},       {"АВТОБАЗА №", 5},        {"ГАРАЖНЫЙ КООПЕРАТИВ №", 40},
    };
    std::vector<std::pair<std::string, int>> out;
    for (const TNumbered& n : raw) out.emplace_back(Utf8ToCp1251(n.Name), n.Count);
    return out;
  }();
  return list;
}

const TWords& Departments() {
  static const TWords words = ToCp1251({" ДИРЕКТОР", " ПРИЕМНАЯ", " БУХГАЛТЕРИЯ", " ДЕЖУРНЫЙ", " ВАХТА",
                                        " ОТДЕЛ КАДРОВ", " ДИСПЕТЧЕР", " ЗАВХОЗ", " СПРАВОЧНАЯ"});
  return words;
}

const TWords& CityInstitutions() {
  static const TWords words = ToCp1251({
      "АДМИНИСТРАЦИЯ Г. БОРВИНО", "ГОРВОДОКАНАЛ", "ГОРГАЗ", "ГОРЭЛЕКТРОСЕТЬ", "БОРВИНСКАЯ ГТС", "ЖЕЛЕЗНОДОРОЖНЫЙ ВОКЗАЛ",
      "АВТОВОКЗАЛ", "РАЙВОЕНКОМАТ", "НАЛОГОВАЯ ИНСПЕКЦИЯ", "ГОРОДСКОЙ СУД", "ПРОКУРАТУРА", "ЗАГС",
      "ПАСПОРТНЫЙ СТОЛ", "РЕДАКЦИЯ ГАЗЕТЫ \"БОРВИНСКИЙ ВЕСТНИК\"", "ТЕЛЕГРАФ", "ДВОРЕЦ СПОРТА",
      "СТАДИОН \"ТРУД\"", "ДОМ КУЛЬТУРЫ \"МЕТАЛЛИСТ\"", "ХЛЕБОЗАВОД", "МОЛОКОЗАВОД", "МЯСОКОМБИНАТ",
      "ЗАВОД \"БОРВИНОМАШ\"", "ТЕКСТИЛЬНАЯ ФАБРИКА", "ТЕПЛОСЕТЬ", "ДРСУ", "СКОРАЯ ПОМОЩЬ", "РОДИЛЬНЫЙ ДОМ",
      "ТРАВМПУНКТ", "ГОРОДСКОЙ МУЗЕЙ", "ДРАМАТИЧЕСКИЙ ТЕАТР", "МУЗЫКАЛЬНАЯ ШКОЛА", "ДОМ ПИОНЕРОВ",
      "ПЕДАГОГИЧЕСКИЙ КОЛЛЕДЖ", "ФИЛИАЛ ТЕХНИЧЕСКОГО УНИВЕРСИТЕТА", "ГОРОДСКОЙ ПАРК", "БАНЯ №1", "ЦЕНТРАЛЬНЫЙ РЫНОК",
  });
  return words;
}

const TWords& LegalForms() {
  static const TWords words = ToCp1251({"ООО", "ООО", "ООО", "ЗАО", "ЗАО", "ОАО", "ТОО", "МУП", "ЧП", "АОЗТ"});
  return words;
}

const TWords& ShopKinds() {
  static const TWords words = ToCp1251({"МАГАЗИН", "МАГАЗИН", "КАФЕ", "РЕСТОРАН", "БАР", "АТЕЛЬЕ", "ФОТОАТЕЛЬЕ",
                                        "ГОСТИНИЦА", "КИНОТЕАТР", "САЛОН", "УНИВЕРМАГ", "ГАСТРОНОМ", "БУЛОЧНАЯ",
                                        "КНИЖНЫЙ МАГАЗИН", "ХОЗТОВАРЫ", "ЦВЕТЫ", "ЮВЕЛИРНЫЙ САЛОН"});
  return words;
}

const TWords& TradeNames() {
  static const TWords words = ToCp1251({
      "РОМАШКА", "ЗАРЯ", "ВОСХОД", "РАССВЕТ", "БОРВИНОСТРОЙ", "БОРВИНОТРАНС", "ТЕПЛОСТРОЙ", "ЭЛЕКТРОН", "УЮТ",
      "РУСЬ", "ВИКТОРИЯ", "ЛАДА", "ВЕСНА", "ТЕРЕМОК", "КАРАВАЙ", "СТРОЙМАТЕРИАЛЫ", "АГРОПРОМ", "МЕТАЛЛИСТ",
      "СПЕКТР", "ГАРАНТ", "ЭКСПРЕСС", "ФОРТУНА", "ОЛИМП", "АЛЬЯНС", "БЕРЁЗКА", "РЯБИНУШКА", "КАЛИНКА",
      "ЛАСТОЧКА", "ЧАЙКА", "ВОЛНА", "МАЯК", "ПАРУС", "ЯНТАРЬ", "ИЗУМРУД", "РУБИН", "АЛМАЗ", "КРИСТАЛЛ",
      "ГЕРМЕС", "АТЛАНТ", "ТИТАН", "ВЕКТОР", "ПРОГРЕСС", "ИМПУЛЬС", "ТЕХНОСЕРВИС", "АВТОСЕРВИС", "ДОМОСТРОЙ",
      "СТРОИТЕЛЬ", "ЗОДЧИЙ", "МАСТЕР", "УМЕЛЕЦ", "СЕМЬЯ", "ДЕТСКИЙ МИР", "ОКЕАН", "РОДНИК", "ИСТОК",
      "ЛУЧ", "ОГОНЁК", "ИСКРА", "ЗВЕЗДА", "КОМЕТА", "МЕТЕОР", "ОРБИТА", "КОСМОС", "САЛЮТ", "ТРИУМФ", "НАДЕЖДА",
      "ВЕРА", "ЛЮБАВА", "ОЛЕНЬКА", "СВЕТЛАНА", "БОРВИНСКИЕ ЗОРИ", "ВОЛЖАНКА", "СИБИРЯК", "УРАЛ", "АЛТАЙ",
      "БАЙКАЛ", "ЕНИСЕЙ", "ДОН", "КУБАНЬ", "ТАВРИЯ", "ДЕЛОВОЙ ДВОР", "ЗОЛОТОЙ КОЛОС", "СЕРЕБРЯНОЕ КОПЫТЦЕ",
  });
  return words;
}

const TWords& LatinNames() {
  static const TWords words = ToCp1251({
      "INTERSOFT", "NORDTRADE", "BORVINO MOTORS", "MICROTECH", "GLOBUS", "SUNRISE", "ALFA SERVICE", "EUROSTYLE",
      "STAR TRAVEL", "TOYOTA CENTER", "PHILIPS", "SIEMENS", "AVON", "ORBITA LTD", "DELTA", "OMEGA", "PIZZA MAMA",
      "GOLD FISH", "MEGAPOLIS", "ROYAL CLUB", "COMPUTER WORLD", "DHL EXPRESS", "ATLANT GROUP", "BEST BOOKS",
  });
  return words;
}

const TWords& LatinForms() {
  static const TWords words = ToCp1251({"ООО \"%\"", "ЗАО \"%\"", "%", "% СЕРВИС", "ФИРМА \"%\"", "САЛОН \"%\""});
  return words;
}

const TWords& PersonTitles() {
  static const TWords words = ToCp1251({"НОТАРИУС ", "ИП ", "АДВОКАТ ", "ЧАСТНЫЙ ДЕТЕКТИВ ", "СТОМАТОЛОГ "});
  return words;
}

std::string Quoted(const std::string& kind, const std::string& name) { return kind + " \"" + name + "\""; }

// A bijection of 0 .. 2^20 - 1: a four-round Feistel network on two
// 10-bit halves keyed by the seed.
uint32_t Permute20(uint32_t x, uint64_t key) {
  uint32_t left = x >> 10, right = x & 0x3FF;
  for (uint32_t round = 0; round < 4; ++round) {
    uint64_t h = (uint64_t(right) << 8 | round) * 0x9E3779B97F4A7C15ull ^ key;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    const uint32_t f = uint32_t(h >> 40) & 0x3FF;
    const uint32_t next = left ^ f;
    left = right;
    right = next;
  }
  return left << 10 | right;
}

// Zero-padded decimal text of a fixed width.
std::string Padded(int value, int width) {
  std::string text = std::to_string(value);
  if (int(text.size()) < width) text.insert(0, size_t(width - int(text.size())), '0');
  return text;
}

}  // namespace

TDemoCity::TDemoCity(uint64_t seed, int streetCount) : random_(seed), numberKey_(0) {
  numberKey_ = random_.Next();
  MakeStreets(streetCount);
}

void TDemoCity::MakeStreets(int count) {
  // A street: its name, the part it sorts by and how it is built up.
  struct TCandidate {
    std::string Name, SortKey;
    int MinHouses, MaxHouses;
    bool Blocks;
  };
  const auto typed = [](const std::string& type, const std::string& name, int lo, int hi, bool blocks) {
    return TCandidate{type + " " + name, name + " " + type, lo, hi, blocks};
  };
  const std::string ul = Utf8ToCp1251("УЛ."), per = Utf8ToCp1251("ПЕР."), pr = Utf8ToCp1251("ПР."),
                    proezd = Utf8ToCp1251("ПРОЕЗД"), pl = Utf8ToCp1251("ПЛ."), bul = Utf8ToCp1251("Б-Р"),
                    tupik = Utf8ToCp1251("ТУПИК"), ya = Utf8ToCp1251("-Я "), yi = Utf8ToCp1251("-Й ");
  // Three tiers: the streets every such town has, the lesser ones, and the
  // numbered runs ("3-Я ПАРКОВАЯ") that only a very long list needs.
  std::vector<TCandidate> tiers[3];
  for (const std::string& g : GenitiveNames()) {
    tiers[0].push_back(typed(ul, g, 5, 120, random_.Percent(40)));
    tiers[1].push_back(typed(per, g, 2, 25, false));
    tiers[1].push_back(typed(proezd, g, 2, 20, false));
    if (random_.Percent(8)) tiers[1].push_back(typed(pr, g, 60, 200, true));
    if (random_.Percent(4)) tiers[1].push_back(typed(pl, g, 1, 12, true));
    if (random_.Percent(5)) tiers[1].push_back(typed(bul, g, 8, 40, true));
  }
  for (const std::string& f : FeminineNames()) {
    tiers[0].push_back(typed(ul, f, 5, 90, random_.Percent(30)));
    // A few runs of numbered streets ("1-Я ПАРКОВАЯ", "2-Я ПАРКОВАЯ").
    const bool numbered = random_.Percent(15);
    for (int n = 1; n <= 15; ++n)
      tiers[n <= 2 && numbered ? 1 : 2].push_back(typed(ul, std::to_string(n) + ya + f, 3, 40, false));
  }
  for (const std::string& m : MasculineNames()) {
    tiers[0].push_back(typed(per, m, 2, 25, false));
    tiers[1].push_back(typed(proezd, m, 2, 20, false));
    tiers[1].push_back(typed(tupik, m, 1, 8, false));
    for (int n = 1; n <= 9; ++n) tiers[2].push_back(typed(per, std::to_string(n) + yi + m, 2, 15, false));
  }
  for (const std::string& p : PlainNames()) tiers[0].push_back(TCandidate{p, p, 5, 60, true});

  size_t available = 0;
  for (auto& tier : tiers) available += tier.size();
  if (count < 0 || size_t(count) > available)
    throw std::invalid_argument("the demo city has room for 0 to " + std::to_string(available) + " streets");
  std::vector<TCandidate> chosen;
  for (auto& tier : tiers) {
    // Fisher-Yates with our own generator, then the first ones still needed.
    for (size_t i = tier.size(); i > 1; --i) std::swap(tier[i - 1], tier[random_.Below(uint32_t(i))]);
    for (TCandidate& c : tier) {
      if (chosen.size() == size_t(count)) break;
      chosen.push_back(std::move(c));
    }
  }
  // Byte order of the code page puts the letters in alphabetical order.
  std::sort(chosen.begin(), chosen.end(), [](const TCandidate& a, const TCandidate& b) {
    return std::lexicographical_compare(a.SortKey.begin(), a.SortKey.end(), b.SortKey.begin(), b.SortKey.end(),
                                        [](char x, char y) { return uint8_t(x) < uint8_t(y); });
  });

  streets_.clear();
  streetWeights_.clear();
  uint32_t total = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    const TCandidate& c = chosen[i];
    TDemoStreet s;
    s.Code = Padded(int(i + 1) * kCodeStep, 5);
    s.Name = c.Name;
    // Most streets are short; one in six runs to the top of its range.
    s.Houses = random_.Percent(16) ? random_.Between(c.MinHouses, c.MaxHouses)
                                   : random_.Between(c.MinHouses, std::max(c.MinHouses, c.MaxHouses / 3));
    s.Blocks = c.Blocks;
    // Subscribers per house: a block of flats holds dozens, a cottage a few.
    const int perHouse = s.Blocks ? random_.Between(10, 40) : random_.Between(1, 4);
    total += uint32_t(s.Houses * perHouse);
    streetWeights_.push_back(total);
    streets_.push_back(std::move(s));
  }
}

const TDemoStreet& TDemoCity::PickStreet() {
  const uint32_t at = random_.Below(streetWeights_.back());
  const auto it = std::upper_bound(streetWeights_.begin(), streetWeights_.end(), at);
  return streets_[size_t(it - streetWeights_.begin())];
}

std::string TDemoCity::PhoneNumber(uint32_t index) const {
  // Cycle-walking keeps the permutation inside the pool.
  uint32_t x = index % uint32_t(kNumberPool);
  do x = Permute20(x, numberKey_);
  while (x >= uint32_t(kNumberPool));
  return std::to_string(kNumberBase + int(x));
}

std::string TDemoCity::PersonName() {
  const bool female = random_.Percent(50);
  std::string surname = random_.Pick(Surnames());
  if (female) surname = FeminineSurname(surname);
  const std::string& first = female ? FemaleInitials() : MaleInitials();
  const std::string& father = MaleInitials();
  std::string name = surname + ' ';
  name += first[random_.Below(uint32_t(first.size()))];
  name += '.';
  name += father[random_.Below(uint32_t(father.size()))];
  name += '.';
  return name;
}

std::string TDemoCity::OrganisationName() {
  const uint32_t kind = random_.Below(100);
  std::string name;
  if (kind < 30) {
    const auto& [base, count] = NumberedInstitutions()[random_.Below(uint32_t(NumberedInstitutions().size()))];
    name = base + std::to_string(random_.Between(1, count));
    if (random_.Percent(45)) name += random_.Pick(Departments());
  } else if (kind < 52) {
    name = Quoted(random_.Pick(LegalForms()), random_.Pick(TradeNames()));
  } else if (kind < 72) {
    name = Quoted(random_.Pick(ShopKinds()), random_.Pick(TradeNames()));
  } else if (kind < 86) {
    name = random_.Pick(CityInstitutions());
    if (random_.Percent(60)) name += random_.Pick(Departments());
  } else if (kind < 94) {
    std::string form = random_.Pick(LatinForms());
    form.replace(form.find('%'), 1, random_.Pick(LatinNames()));
    name = form;
  } else {
    name = random_.Pick(PersonTitles()) + PersonName();
  }
  return name;
}

void TDemoCity::NextSubscriber(TDemoSubscriber& out) {
  out.Numtel = PhoneNumber(issued_++);
  out.Name = random_.Percent(82) ? PersonName() : OrganisationName();
  const TDemoStreet& street = PickStreet();
  // One address in five hundred is on a street the list no longer has: a
  // code in the gap after a street's own.
  out.Kodul = street.Code;
  if (random_.Below(500) == 0) out.Kodul.back() = '5';
  out.Dom = std::to_string(random_.Between(1, street.Houses));
  out.Korp = street.Blocks && random_.Percent(20) ? std::to_string(random_.Between(1, 3)) : std::string();
}

}  // namespace demo
